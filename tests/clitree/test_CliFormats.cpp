// tarnibar-cli's imports and exports in other tools' formats, run as a
// separate process against a real database in a temporary data root.

#include "CliProcess.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

using namespace tarni::testing;

namespace {

QJsonObject nodeOf(const QJsonValue &entry) { return entry.toObject().value(QStringLiteral("node")).toObject(); }
QJsonArray childrenOf(const QJsonValue &entry) { return entry.toObject().value(QStringLiteral("children")).toArray(); }

// "title(child, child(...))" for a whole subtree.
QString shape(const QJsonValue &entry)
{
    QString out = nodeOf(entry).value(QStringLiteral("title")).toString();
    const QJsonArray children = childrenOf(entry);
    if (children.isEmpty())
        return out;
    QStringList parts;
    for (const QJsonValue &child : children)
        parts << shape(child);
    return out + QLatin1Char('(') + parts.join(QStringLiteral(", ")) + QLatin1Char(')');
}

class CliFormatsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString root() const { return dir.path(); }
    QString path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }

    CliRun run(const QStringList &arguments) const
    {
        return runCli(QStringList{QStringLiteral("--root"), root()} + arguments);
    }

    void write(const QString &file, const QByteArray &bytes) const
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(bytes);
    }

    QJsonArray tree() const
    {
        const CliRun r = run({QStringLiteral("tree"), QStringLiteral("--json")});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        return QJsonDocument::fromJson(r.out.toUtf8()).array();
    }

    QByteArray databaseBytes() const
    {
        QFile file(root() + QStringLiteral("/workspace.sqlite"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(CliFormatsTest, ImportsDetectedFormatsIntoNewGroupsAndExportsThemBack)
{
    write(path("chrome.html"),
          "<!DOCTYPE NETSCAPE-Bookmark-file-1>\r\n<DL><p>\r\n<DT><H3 ADD_DATE=\"1600000000\">Bar</H3>\r\n<DL><p>\r\n"
          "<DT><A HREF=\"https://a.example/\" ADD_DATE=\"1600000000123\">A &amp; B</A>\r\n"
          "<DT><A HREF=\"javascript:alert(1)\">Bookmarklet</A>\r\n</DL><p>\r\n"
          "<DT><A HREF=\"file:///tmp/dir/\">Dir</A>\r\n</DL><p>\r\n");
    const CliRun imported = run({QStringLiteral("import"), path("chrome.html")});
    ASSERT_EQ(imported.exitCode, 0) << imported.err.toStdString();
    EXPECT_EQ(imported.out, QStringLiteral("Imported 4 node(s): 1 group(s), 2 link(s); 1 items were not imported: "
                                           "not a web address\n"));
    QJsonArray top = tree();
    ASSERT_EQ(top.size(), 1);
    EXPECT_EQ(shape(top[0]), QStringLiteral("chrome.html(Bar(A & B), Dir)"));

    // Our own export, named on the command line, imported again nests the
    // same way; without a file it goes to standard output. The formats
    // themselves are checked in test_InteropFormats.
    const QString group = nodeOf(top[0]).value(QStringLiteral("id")).toString();
    const QString file = path("bookmarks");
    const CliRun exported = run({QStringLiteral("export"), QStringLiteral("--format"), QStringLiteral("bookmarks"),
                                 QStringLiteral("--node"), group, QStringLiteral("-o"), file});
    ASSERT_EQ(exported.exitCode, 0) << exported.err.toStdString();
    const CliRun again = run({QStringLiteral("import"), file});
    ASSERT_EQ(again.exitCode, 0) << again.err.toStdString();
    EXPECT_EQ(shape(tree().last()), QStringLiteral("bookmarks(chrome.html(Bar(A & B), Dir))"));

    const CliRun page = run({QStringLiteral("export"), QStringLiteral("--format"), QStringLiteral("html")});
    ASSERT_EQ(page.exitCode, 0);
    EXPECT_TRUE(page.out.startsWith(QStringLiteral("<!DOCTYPE html>")));
}

TEST_F(CliFormatsTest, BadFormatsAndFilesAreRefusedAndChangeNothing)
{
    ASSERT_EQ(run({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("Keep")}).exitCode, 0);
    write(path("list.txt"), "https://a.example/\n");
    write(path("broken.txt"), "https://a.example/\nhttps://b.example/\xff\n");
    const QByteArray before = databaseBytes();

    struct Case {
        QStringList arguments;
        int exitCode;
        const char *mentions;
    };
    const Case cases[] = {
        {{QStringLiteral("import"), QStringLiteral("--format"), QStringLiteral("html"), path("list.txt")}, 2, "cannot import \"html\""},
        {{QStringLiteral("import"), QStringLiteral("--format"), QStringLiteral("csv"), path("list.txt")}, 2, "cannot import \"csv\""},
        {{QStringLiteral("export"), QStringLiteral("--format"), QStringLiteral("sessions")}, 2, "cannot export as \"sessions\""},
        {{QStringLiteral("import"), path("broken.txt")}, 1, "line 2 (byte 37): the text is not UTF-8"},
        {{QStringLiteral("import"), path("absent.md")}, 1, "no such file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
        const CliRun r = run(c.arguments);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.mentions))) << r.err.toStdString();
    }
    EXPECT_EQ(databaseBytes(), before);
}
