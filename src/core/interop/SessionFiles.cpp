// Tab session managers' JSON exports, told apart by their shape:
//  1. an array of sessions, each with "windows" (and often "windowsInfo"):
//     windows map window ids to tabs keyed by tab id (arrays are accepted too);
//  2. an object with "sessions"[].windows[].tabs[];
//  3. a tree export: entries [id, node, childIndexPath] in document order,
//     where the path lists the entry's index among its parent's children
//     from the top down.

#include "interop/InteropBuilder.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <algorithm>

namespace tarni::interop {

namespace {

using Value = rapidjson::Value;

const Value *member(const Value &object, const char *name)
{
    if (!object.IsObject())
        return nullptr;
    const auto it = object.FindMember(name);
    return it == object.MemberEnd() || it->value.IsNull() ? nullptr : &it->value;
}

QString text(const Value &object, const char *name)
{
    const Value *value = member(object, name);
    return value && value->IsString() ? QString::fromUtf8(value->GetString(), qsizetype(value->GetStringLength()))
                                      : QString();
}

std::optional<std::int64_t> number(const Value &object, const char *name)
{
    const Value *value = member(object, name);
    if (!value || !value->IsNumber())
        return std::nullopt;
    const double v = value->GetDouble();
    if (!(v > -9e15 && v < 9e15))
        return std::nullopt;
    return std::int64_t(v);
}

bool flag(const Value &object, const char *name)
{
    const Value *value = member(object, name);
    return value && value->IsBool() && value->GetBool();
}

std::optional<Timestamp> timeOf(const Value &object, const char *name)
{
    auto value = number(object, name);
    if (!value || *value <= 0)
        return std::nullopt;
    // Session managers write milliseconds; seconds stay below 10^11.
    return Timestamp(std::chrono::seconds(*value > 100'000'000'000LL ? *value / 1000 : *value));
}

// The elements of an array, or the values of an object keyed by ids.
std::vector<const Value *> elements(const Value *container)
{
    std::vector<const Value *> out;
    if (!container)
        return out;
    if (container->IsArray()) {
        for (const Value &item : container->GetArray())
            out.push_back(&item);
    } else if (container->IsObject()) {
        for (const auto &item : container->GetObject())
            out.push_back(&item.value);
    }
    return out;
}

void addTab(ImportBuilder &builder, const Value &tab)
{
    const QString url = text(tab, "url");
    std::optional<QString> subtitle;
    if (flag(tab, "pinned"))
        subtitle = QStringLiteral("Pinned · ") + url;
    builder.addLink(text(tab, "title"), url, timeOf(tab, "lastAccessed"), subtitle);
}

void addWindows(ImportBuilder &builder, const Value *windows)
{
    int count = 0;
    for (const Value *window : elements(windows)) {
        ++count;
        // Shape 2 wraps the tabs; shape 1 maps tab ids straight to tabs.
        const Value *tabsValue = member(*window, "tabs");
        std::vector<const Value *> tabs = elements(tabsValue ? tabsValue : window);
        tabs.erase(std::remove_if(tabs.begin(), tabs.end(), [](const Value *tab) { return !tab->IsObject(); }),
                   tabs.end());
        std::stable_sort(tabs.begin(), tabs.end(), [](const Value *a, const Value *b) {
            return number(*a, "index").value_or(0) < number(*b, "index").value_or(0);
        });
        QString title = text(*window, "title");
        if (title.isEmpty())
            title = QStringLiteral("Window %1").arg(count);
        builder.openGroup(title);
        for (const Value *tab : tabs)
            addTab(builder, *tab);
        builder.closeGroup();
    }
}

void addSessions(ImportBuilder &builder, const std::vector<const Value *> &sessions)
{
    int count = 0;
    for (const Value *session : sessions) {
        ++count;
        QString title = text(*session, "name");
        if (title.isEmpty())
            title = text(*session, "title");
        if (title.isEmpty())
            title = QStringLiteral("Session %1").arg(count);
        builder.openGroup(title, timeOf(*session, "date"));
        addWindows(builder, member(*session, "windows"));
        builder.closeGroup();
    }
}

bool isTreeEntry(const Value &value)
{
    return value.IsArray() && value.Size() == 3 && value[1].IsObject() && value[2].IsArray();
}

QString treeNodeTitle(const Value &node, const Value *data, const QString &fallback)
{
    if (const Value *marks = member(node, "marks")) {
        const QString custom = text(*marks, "customTitle");
        if (!custom.isEmpty())
            return custom;
    }
    if (data) {
        const QString title = text(*data, "title");
        if (!title.isEmpty())
            return title;
    }
    return fallback;
}

std::optional<InteropError> addTreeEntries(ImportBuilder &builder, const Value &entries)
{
    // The path of the entry each open level stands for; an entry whose path
    // does not continue an open one is reported, not guessed at.
    // Per open level: whether it stands for a node of ours (separators and
    // skipped tabs take a level in the paths but add nothing).
    std::vector<bool> open;
    int windows = 0;
    std::int64_t index = -1;
    for (const Value &entry : entries.GetArray()) {
        ++index;
        if (!isTreeEntry(entry))
            continue; // header and footer objects
        const Value &node = entry[1];
        const Value &path = entry[2];
        for (const Value &step : path.GetArray())
            if (!step.IsInt())
                return InteropError{QStringLiteral("entry %1: the child index path holds a non-integer").arg(index),
                                    std::nullopt, std::nullopt};
        const std::size_t depth = path.Size();
        if (depth == 0)
            continue; // the root session is the import's own group
        if (depth > open.size() + 1)
            return InteropError{QStringLiteral("entry %1: its path skips a level (depth %2 under depth %3)")
                                    .arg(index)
                                    .arg(depth)
                                    .arg(open.size()),
                                std::nullopt, std::nullopt};
        while (open.size() >= depth) {
            if (open.back())
                builder.closeGroup();
            open.pop_back();
        }
        const QString type = text(node, "type");
        const Value *data = member(node, "data");
        bool opened = false;
        if (type == QLatin1String("separatorline")) {
            // Separators only draw a line.
        } else if (type == QLatin1String("textnote")) {
            builder.openGroup(data ? text(*data, "note") : QString());
            opened = true;
        } else if (type.contains(QLatin1String("tab")) || (data && member(*data, "url"))) {
            if (data && builder.addLink(treeNodeTitle(node, data, QString()), text(*data, "url"),
                                        std::nullopt,
                                        flag(*data, "pinned") ? std::optional(QStringLiteral("Pinned · ") +
                                                                              text(*data, "url"))
                                                              : std::nullopt))
                opened = builder.reopenLast();
        } else {
            const QString fallback = type.contains(QLatin1String("win"))
                ? QStringLiteral("Window %1").arg(++windows)
                : (type == QLatin1String("session") ? QStringLiteral("Session") : QStringLiteral("Group"));
            builder.openGroup(treeNodeTitle(node, nullptr, fallback));
            opened = true;
        }
        if (opened && builder.tooDeep())
            return InteropError{QStringLiteral("entries nest deeper than %1 levels").arg(ImportBuilder::kMaxDepth),
                                std::nullopt, std::nullopt};
        open.push_back(opened);
    }
    return std::nullopt;
}

} // namespace

Result<InteropImport, InteropError> importSessions(std::string_view source, const ImportOptions &options)
{
    rapidjson::Document document;
    // Iterative: deep documents cannot exhaust the stack.
    document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag>(source.data(), source.size());
    if (document.HasParseError())
        return Failure(errorAt(source, document.GetErrorOffset(),
                               QStringLiteral("not JSON: ") +
                                   QString::fromLatin1(rapidjson::GetParseError_En(document.GetParseError()))));
    ImportBuilder builder(options, std::int64_t(source.size()));
    builder.progress(std::int64_t(source.size()) / 2);

    if (document.IsArray() && !document.Empty() && document[0].IsObject() &&
        (member(document[0], "windows") || member(document[0], "windowsInfo"))) {
        std::vector<const Value *> sessions;
        for (const Value &session : document.GetArray())
            if (session.IsObject())
                sessions.push_back(&session);
        addSessions(builder, sessions);
    } else if (const Value *sessions = member(document, "sessions"); sessions && sessions->IsArray()) {
        addSessions(builder, elements(sessions));
    } else if (document.IsArray() &&
               std::any_of(document.Begin(), document.End(), [](const Value &v) { return isTreeEntry(v); })) {
        if (auto error = addTreeEntries(builder, document))
            return Failure(*error);
    } else {
        return Failure(InteropError{
            QStringLiteral("not a session file we know: expected an array of sessions with \"windows\", an object "
                           "with \"sessions\"[].windows[].tabs[], or a tree export of [id, node, childIndexPath] "
                           "entries"),
            std::nullopt, std::nullopt});
    }
    return builder.finish(InteropFormat::sessions);
}

} // namespace tarni::interop
