#include "gui/EntryDialogs.h"

#include "util/Localized.h"
#include "model/EntryRules.h"

#include <QClipboard>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tarni {

std::optional<QString> webLinkProblem(const QString &text)
{
    if (auto address = EntryRules::webAddress(text); !address)
        return localized(entryProblemText(address.error()));
    return std::nullopt;
}

std::optional<QString> slackThreadProblem(const QString &text)
{
    if (auto target = EntryRules::slackAddress(text); !target)
        return localized(entryProblemText(target.error()));
    return std::nullopt;
}

AddressEntryDialog::AddressEntryDialog(const QString &title, const QString &prompt, const QString &placeholder,
                                       Check check, QWidget *parent)
    : QDialog(parent)
    , m_check(std::move(check))
{
    setWindowTitle(title);
    auto *layout = new QVBoxLayout(this);
    auto *label = new QLabel(prompt, this);
    label->setWordWrap(true);
    m_field = new QLineEdit(this);
    m_field->setPlaceholderText(placeholder);
    m_field->setClearButtonEnabled(true);
    m_field->setMinimumWidth(320);
    label->setBuddy(m_field);
    m_problem = new QLabel(this);
    m_problem->setObjectName(QStringLiteral("entryProblem"));
    m_problem->setWordWrap(true);
    m_problem->setForegroundRole(QPalette::PlaceholderText);
    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->button(QDialogButtonBox::Ok)->setText(localized("Add"));
    m_buttons->button(QDialogButtonBox::Cancel)->setText(localized("Cancel"));
    layout->addWidget(label);
    layout->addWidget(m_field);
    layout->addWidget(m_problem);
    layout->addWidget(m_buttons);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &AddressEntryDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_field, &QLineEdit::textChanged, this, &AddressEntryDialog::revalidate);
    // An address just copied is most likely the one to add.
    if (const QClipboard *clipboard = QGuiApplication::clipboard()) {
        const QString copied = clipboard->text().trimmed();
        if (!copied.contains(QLatin1Char('\n')) && !m_check(copied)) {
            m_field->setText(copied);
            m_field->selectAll();
        }
    }
    revalidate();
}

AddressEntryDialog *AddressEntryDialog::webLink(QWidget *parent)
{
    return new AddressEntryDialog(localized("Add Web Link"), localized("Address of the page:"),
                                  QStringLiteral("https://"), webLinkProblem, parent);
}

AddressEntryDialog *AddressEntryDialog::slackThread(QWidget *parent)
{
    return new AddressEntryDialog(localized("Add Slack Thread"),
                                  localized("Paste a link to a Slack message, thread or channel:"),
                                  QStringLiteral("https://app.slack.com/client/…"), slackThreadProblem, parent);
}

QString AddressEntryDialog::address() const
{
    return m_field->text().trimmed();
}

QString AddressEntryDialog::problem() const
{
    return m_check(m_field->text()).value_or(QString());
}

bool AddressEntryDialog::canAccept() const
{
    return !m_check(m_field->text());
}

void AddressEntryDialog::accept()
{
    if (canAccept())
        QDialog::accept();
}

void AddressEntryDialog::revalidate()
{
    const auto problem = m_check(m_field->text());
    m_problem->setText(problem.value_or(QString()));
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(!problem);
}

} // namespace tarni
