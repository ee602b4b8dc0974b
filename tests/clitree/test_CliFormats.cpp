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
    EXPECT_EQ(imported.out, QStringLiteral("Imported 4 node(s): 1 group(s), 2 link(s); 1 entries skipped (addresses "
                                           "that are not http(s), Slack or file and do not parse, or would run code)\n"));
    QJsonArray top = tree();
    ASSERT_EQ(top.size(), 1);
    EXPECT_EQ(shape(top[0]), QStringLiteral("chrome.html(Bar(A & B), Dir)"));
    EXPECT_EQ(nodeOf(childrenOf(childrenOf(top[0])[0])[0]).value(QStringLiteral("createdAt")).toString(),
              QStringLiteral("2020-09-13T12:26:40Z"));
    EXPECT_EQ(nodeOf(childrenOf(top[0])[1]).value(QStringLiteral("kind")).toString(), QStringLiteral("folder"));

    // Our own export in each format, imported again, nests the same way.
    const QString group = nodeOf(top[0]).value(QStringLiteral("id")).toString();
    for (const char *format : {"bookmarks", "markdown"}) {
        SCOPED_TRACE(format);
        const QString file = path(format);
        const CliRun exported = run({QStringLiteral("export"), QStringLiteral("--format"), QString::fromLatin1(format),
                                     QStringLiteral("--node"), group, QStringLiteral("-o"), file});
        ASSERT_EQ(exported.exitCode, 0) << exported.err.toStdString();
        const CliRun again = run({QStringLiteral("import"), file});
        ASSERT_EQ(again.exitCode, 0) << again.err.toStdString();
        top = tree();
        EXPECT_EQ(shape(top.last()), QString::fromLatin1(format) + QStringLiteral("(chrome.html(Bar(A & B), Dir))"));
    }

    // Standard output when no file is named.
    const CliRun page = run({QStringLiteral("export"), QStringLiteral("--format"), QStringLiteral("html")});
    ASSERT_EQ(page.exitCode, 0);
    EXPECT_TRUE(page.out.startsWith(QStringLiteral("<!DOCTYPE html>")));
    EXPECT_TRUE(page.out.contains(QStringLiteral("<a href=\"https://a.example/\" rel=\"noopener noreferrer\">A &amp; B</a>")));
}

TEST_F(CliFormatsTest, BadFormatsAndFilesAreRefusedAndChangeNothing)
{
    ASSERT_EQ(run({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("Keep")}).exitCode, 0);
    write(path("list.txt"), "https://a.example/\n");
    write(path("broken.txt"), "https://a.example/\nhttps://b.example/\xff\n");
    write(path("diary.txt"), "Dear diary,\nnothing here\n");
    write(path("unknown.json"), "[{\"tabs\": []}]");
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
        {{QStringLiteral("import"), path("diary.txt")}, 1, "cannot tell the file's format"},
        {{QStringLiteral("import"), path("unknown.json")}, 1, "expected an array of sessions"},
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
