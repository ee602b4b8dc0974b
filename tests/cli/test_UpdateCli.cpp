// `tarnibar-cli update check` and `tarnibar-sign-update` as a publisher and a
// user run them, against a feed on 127.0.0.1.

#include "LocalHttpServer.h"
#include "TaskSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarni::test;

namespace {

struct ToolRun {
    int code = -1;
    QString out, err;
};

// Runs a tool while this process's event loop serves the feed.
ToolRun run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    EXPECT_TRUE(spinUntil([&] { return process.state() == QProcess::NotRunning; }, 60000));
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

ToolRun cli(const QStringList &arguments)
{
    return run(QStringLiteral(TARNIBAR_CLI_PATH), arguments);
}

ToolRun signer(const QStringList &arguments)
{
    return run(QStringLiteral(TARNIBAR_SIGN_UPDATE_PATH), arguments);
}

QByteArray feedOffering(const QString &url, qint64 length, const QString &signature)
{
    return QStringLiteral("<?xml version=\"1.0\"?><rss version=\"2.0\" "
                          "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>"
                          "<item><sparkle:version>0.2.0</sparkle:version><enclosure url=\"%1\" length=\"%2\" "
                          "type=\"application/octet-stream\" sparkle:edSignature=\"%3\"/></item></channel></rss>")
        .arg(url)
        .arg(length)
        .arg(signature)
        .toUtf8();
}

} // namespace

TEST(UpdateCli, ASignedReleaseVerifiesAndEveryOtherAnswerHasItsExitCode)
{
    QTemporaryDir dir;
    const QString secretKey = dir.filePath(QStringLiteral("release.key"));
    const ToolRun generated = signer({QStringLiteral("generate-key"), secretKey});
    ASSERT_EQ(generated.code, 0) << qPrintable(generated.err);
    const QString publicKey = generated.out.trimmed();
    EXPECT_EQ(QFile(secretKey).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    // An existing key is never overwritten.
    EXPECT_EQ(signer({QStringLiteral("generate-key"), secretKey}).code, 7);
    EXPECT_EQ(signer({}).code, 2);

    const QByteArray package(20000, 'z');
    const QString packagePath = dir.filePath(QStringLiteral("tarnibar-0.2.0-Linux.tar.gz"));
    QFile file(packagePath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(package);
    file.close();
    const ToolRun signature = signer({QStringLiteral("sign"), secretKey, packagePath});
    ASSERT_EQ(signature.code, 0) << qPrintable(signature.err);

    LocalHttpServer server;
    server.serve(QStringLiteral("/tarnibar-0.2.0-Linux.tar.gz"), package);
    const QString packageURL = server.url(QStringLiteral("/tarnibar-0.2.0-Linux.tar.gz"));
    server.serve(QStringLiteral("/good.xml"), feedOffering(packageURL, package.size(), signature.out.trimmed()));
    server.serve(QStringLiteral("/tampered.xml"), feedOffering(packageURL, package.size(),
                                                               QString::fromLatin1(QByteArray(64, 's').toBase64())));
    auto check = [&](const char *feed, const char *version, const QString &key) {
        return cli({QStringLiteral("update"), QStringLiteral("check"), QStringLiteral("--feed"),
                    server.url(QString::fromLatin1(feed)), QStringLiteral("--public-key"), key,
                    QStringLiteral("--current-version"), QString::fromLatin1(version)});
    };

    const ToolRun verified = check("/good.xml", "0.1.0", publicKey);
    EXPECT_EQ(verified.code, 0) << qPrintable(verified.err);
    EXPECT_TRUE(verified.out.contains(QStringLiteral("version 0.2.0"))) << qPrintable(verified.out);
    EXPECT_EQ(check("/good.xml", "0.2.0", publicKey).code, 9);
    const ToolRun older = check("/good.xml", "0.3.0", publicKey);
    EXPECT_EQ(older.code, 9) << qPrintable(older.err);
    EXPECT_TRUE(older.out.contains(QStringLiteral("nothing newer than 0.3.0"))) << qPrintable(older.out);
    const ToolRun tampered = check("/tampered.xml", "0.1.0", publicKey);
    EXPECT_EQ(tampered.code, 10);
    EXPECT_TRUE(tampered.err.contains(QStringLiteral("signature"))) << qPrintable(tampered.err);
    EXPECT_EQ(check("/missing.xml", "0.1.0", publicKey).code, 7);
    EXPECT_EQ(check("/good.xml", "0.1.0", QString::fromLatin1(QByteArray(31, 'k').toBase64())).code, 2);
    EXPECT_EQ(check("/good.xml", "one", publicKey).code, 2);
    // A feed given here does not make plain http elsewhere acceptable.
    const ToolRun plain = cli({QStringLiteral("update"), QStringLiteral("check"), QStringLiteral("--feed"),
                               QStringLiteral("http://tarni.invalid/appcast.xml"), QStringLiteral("--public-key"),
                               publicKey});
    EXPECT_EQ(plain.code, 10) << qPrintable(plain.err);
    EXPECT_TRUE(plain.err.contains(QStringLiteral("is not https"))) << qPrintable(plain.err);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
