// The address checks of the entry dialogs, on both sides of each rule.

#include "GuiTestMain.h"
#include "gui/EntryDialogs.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>

#include <gtest/gtest.h>

using namespace tarni;

namespace {

struct Case {
    const char *text;
    bool webLink;
    bool slackThread;
};

TEST(EntryDialogs, AcceptOnlyAddressesTheCommandCanUse)
{
    const Case cases[] = {
        {"", false, false},
        {"example.com", false, false},
        {"ftp://example.com/file", false, false},
        {"https://", false, false},
        {"mailto:someone@example.com", false, false},
        {"https://example.com", true, false},
        {"  HTTPS://Example.com/a?b=c  ", true, false},
        {"https://slack.com/", true, false},
        {"https://example.com/client/T1/C2", true, false},
        {"https://app.slack.com/client/T123/C456", true, true},
        {"https://team.slack.com/archives/C456/p1712345678900100", true, true},
    };
    for (const Case &c : cases) {
        const QString text = QString::fromUtf8(c.text);
        EXPECT_EQ(!webLinkProblem(text), c.webLink) << c.text;
        EXPECT_EQ(!slackThreadProblem(text), c.slackThread) << c.text;
    }
}

TEST(EntryDialogs, KeepOkDisabledWithTheReasonUntilTheAddressPasses)
{
    std::unique_ptr<AddressEntryDialog> dialog(AddressEntryDialog::slackThread(nullptr));
    EXPECT_FALSE(dialog->canAccept());
    EXPECT_FALSE(dialog->problem().isEmpty());
    dialog->field()->setText(QStringLiteral("https://example.com/"));
    dialog->accept();
    EXPECT_EQ(dialog->result(), QDialog::Rejected) << "the dialog base accepted an invalid address";
    dialog->field()->setText(QStringLiteral(" https://app.slack.com/client/T1/C2 "));
    EXPECT_TRUE(dialog->canAccept());
    EXPECT_TRUE(dialog->problem().isEmpty());
    EXPECT_EQ(dialog->address(), QStringLiteral("https://app.slack.com/client/T1/C2"));

    // A copied address that passes is offered; anything else is not.
    QGuiApplication::clipboard()->setText(QStringLiteral("https://app.slack.com/client/T9/C9\n"));
    EXPECT_EQ(std::unique_ptr<AddressEntryDialog>(AddressEntryDialog::slackThread(nullptr))->address(),
              QStringLiteral("https://app.slack.com/client/T9/C9"));
    EXPECT_TRUE(std::unique_ptr<AddressEntryDialog>(AddressEntryDialog::webLink(nullptr))->address().startsWith(
        QStringLiteral("https://app.slack.com")));
    QGuiApplication::clipboard()->setText(QStringLiteral("notes about https://example.com"));
    EXPECT_TRUE(std::unique_ptr<AddressEntryDialog>(AddressEntryDialog::webLink(nullptr))->address().isEmpty());
}

} // namespace

int main(int argc, char **argv)
{
    return runGuiTests(argc, argv);
}
