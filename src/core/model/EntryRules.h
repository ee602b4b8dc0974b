#pragma once

#include "model/NodePayload.h"
#include "util/Result.h"

#include <QString>
#include <QUrl>

#include <array>
#include <cstdint>
#include <optional>

namespace tarni {

// What each kind of node may hold. Every way in (the dialogs, D-Bus, the
// command line, every importer, captures from the browser) asks these
// functions before a value becomes part of a node, and everything that hands
// a node to another program asks them again, since rows written before these
// rules, or by another program, are kept as they are.
//
// - web links and Chrome tabs: absolute http or https addresses with a host;
// - Slack threads: an http(s) address on Slack's domain that names a channel
//   or thread, or the desktop client's "slack://channel?team=T&id=C";
// - files and folders: absolute paths;
// - titles: not blank.
//
// mailto: is not a web link: a mail client may attach local files that the
// address names ("?attach=…"), which is no thing to start from an imported file.
enum class EntryProblem {
    blankAddress,
    notWebAddress,
    noHost,
    notSlackAddress,
    noSlackChannel,
    notAbsolutePath,
    blankTitle,
};
inline constexpr std::size_t kEntryProblemCount = 7;

// A sentence for an alert or a dialog ("The address must start with http://
// or https://."), as a text key.
const char *entryProblemText(EntryProblem problem);
// A short reason for an import summary ("not a web address"), as a text key.
const char *entryProblemReason(EntryProblem problem);

// An address the rules accepted, re-serialised from the parsed URL: the only
// form in which anything from a node reaches another program. Its text starts
// with its scheme, so it can never be taken for a program's option.
class AcceptedAddress {
public:
    const QUrl &url() const { return m_url; }
    QString text() const { return m_url.toString(QUrl::FullyEncoded); }
    bool operator==(const AcceptedAddress &) const = default;

private:
    explicit AcceptedAddress(QUrl url) : m_url(std::move(url)) {}
    friend class EntryRules;
    QUrl m_url;
};

template <class T>
using EntryResult = Result<T, EntryProblem>;

class EntryRules {
public:
    // Text is trimmed first; control characters anywhere refuse it.
    static EntryResult<AcceptedAddress> webAddress(const QString &text);
    // The Slack target the address names, its permalink re-serialised.
    static EntryResult<SlackTarget> slackAddress(const QString &text);
    // The path cleaned ("/a/./b/../c" is "/a/c"), without a trailing "/".
    static EntryResult<QString> absolutePath(const QString &text);
    static std::optional<EntryProblem> titleProblem(const QString &title);

    // What is wrong with the values a payload holds for its kind; none for
    // groups and for payloads that pass.
    static std::optional<EntryProblem> payloadProblem(const NodePayload &payload);
    // What opening the payload hands to another program: the address of a
    // web link or Chrome tab, a Slack thread's permalink, the file URL of a
    // file or folder. Groups have none (notWebAddress).
    static EntryResult<AcceptedAddress> openableAddress(const NodePayload &payload);
    // The desktop client's address for a Slack target that names a team and
    // a channel.
    static std::optional<AcceptedAddress> slackAppAddress(const SlackTarget &target);
    // The file URL of a path the rules accept.
    static EntryResult<AcceptedAddress> fileAddress(const QString &path);
};

// How many entries each problem kept out, in the order of EntryProblem.
struct EntryProblemCounts {
    std::array<std::int64_t, kEntryProblemCount> counts{};

    void add(EntryProblem problem, std::int64_t n = 1) { counts[std::size_t(problem)] += n; }
    std::int64_t total() const;
    bool operator==(const EntryProblemCounts &) const = default;
};

} // namespace tarni
