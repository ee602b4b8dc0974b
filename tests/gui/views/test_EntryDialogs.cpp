// The entry dialogs use the entry rule of their command (its rows are
// test_EntryRules'), keep OK off until it passes and offer a copied address.

#include "GuiTestMain.h"
#include "gui/EntryDialogs.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>

#include <gtest/gtest.h>

using namespace tarni;

namespace {

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
