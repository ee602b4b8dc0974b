#pragma once

#include <QDialog>

#include <functional>
#include <optional>

class QDialogButtonBox;
class QLabel;
class QLineEdit;

namespace tarni {

// What is wrong with a typed address, in a few words; none when it will do.
// A web link needs an http or https address with a host; a Slack thread an
// address on Slack's domain that names a channel.
std::optional<QString> webLinkProblem(const QString &text);
std::optional<QString> slackThreadProblem(const QString &text);

// Asks for one address. OK stays disabled, with the reason shown under the
// field, until the text passes the check; the accepted text is trimmed.
class AddressEntryDialog : public QDialog {
    Q_OBJECT
public:
    using Check = std::function<std::optional<QString>(const QString &)>;

    AddressEntryDialog(const QString &title, const QString &prompt, const QString &placeholder, Check check,
                       QWidget *parent = nullptr);

    static AddressEntryDialog *webLink(QWidget *parent);
    static AddressEntryDialog *slackThread(QWidget *parent);

    QString address() const;
    QLineEdit *field() const { return m_field; }
    // Empty while the text passes.
    QString problem() const;
    bool canAccept() const;
    // Refuses while the text does not pass.
    void accept() override;

private:
    void revalidate();

    Check m_check;
    QLineEdit *m_field = nullptr;
    QLabel *m_problem = nullptr;
    QDialogButtonBox *m_buttons = nullptr;
};

} // namespace tarni
