// The update check against a feed served on 127.0.0.1: what it accepts,
// everything it refuses, and the updater's schedule and installation.

#include "LocalHttpServer.h"
#include "TarWriter.h"
#include "TaskSupport.h"

#include "update/UpdateCheck.h"
#include "update/UpdateSignature.h"
#include "update/Updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::test;
using Outcome = UpdateCheckResult::Outcome;

namespace {

QString base64OfLength(int bytes)
{
    return QString::fromLatin1(QByteArray(bytes, 'k').toBase64());
}

QByteArray item(const QByteArray &version, const QByteArray &url, qint64 length, const QByteArray &signature)
{
    QByteArray signatureAttribute = signature.isNull() ? QByteArray() : " sparkle:edSignature=\"" + signature + "\"";
    return "<item><title>TarniBar " + version + "</title><sparkle:version>" + version +
           "</sparkle:version><sparkle:releaseNotesLink>https://tarni.example/notes</sparkle:releaseNotesLink>"
           "<enclosure url=\"" + url + "\" length=\"" + QByteArray::number(length) +
           "\" type=\"application/octet-stream\"" + signatureAttribute + "/></item>";
}

QByteArray feed(const QByteArray &items)
{
    return "<?xml version=\"1.0\"?><rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel><title>T</title>" +
           items + "</channel></rss>";
}

QByteArray signatureOf(const QByteArray &data, const QByteArray &secretKey)
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("data")));
    file.open(QIODevice::WriteOnly);
    file.write(data);
    file.close();
    QString error;
    return signFile(file.fileName(), secretKey, &error);
}

class UpdateFeedTest : public ::testing::Test {
protected:
    UpdateFeedTest() : keys(generateSigningKeyPair()) {}

    UpdateCheckResult check(const QString &feedPath, const QString &current = QStringLiteral("0.1.0"),
                            std::chrono::milliseconds deadline = kUpdateCheckDeadline)
    {
        UpdateCheckRequest request;
        request.deadline = deadline;
        request.configuration = {server.url(feedPath), QString::fromLatin1(keys.publicKeyBase64)};
        request.currentVersion = current;
        request.kind = InstallKind::tarball;
        request.downloadDirectory = downloads.path();
        request.progress = [this](qint64 received, qint64) { lastProgress = received; };
        return runTask(checkForUpdate(network, request));
    }
    QByteArray url(const char *path) const { return server.url(QString::fromLatin1(path)).toLatin1(); }

    SigningKeyPair keys;
    LocalHttpServer server;
    QNetworkAccessManager network;
    QTemporaryDir downloads;
    qint64 lastProgress = 0;
    const QByteArray package = QByteArray(300000, 'p') + "end";
};

} // namespace

TEST(UpdateConfiguration, TheBuildsValuesPassOnlyTheFourRules)
{
    const QString key = base64OfLength(32);
    ASSERT_EQ(key.size(), 44);
    struct Row {
        QVariant feed, key;
        bool valid;
    } rows[] = {
        {QStringLiteral("https://tarni.example/appcast.xml"), key, true},
        {QStringLiteral("HTTPS://tarni.example/appcast.xml"), key, true},
        {QStringLiteral("http://tarni.example/appcast.xml"), key, true},
        {QStringLiteral("ftp://tarni.example/appcast.xml"), key, false},
        {QStringLiteral("https://tarni.example/$(FEED)"), key, false},
        {QStringLiteral("https://tarni.example/appcast.xml"), QStringLiteral("$(KEY)") + key.mid(4), false},
        {QStringLiteral("https://tarni.example/appcast.xml"), base64OfLength(31), false},
        {QStringLiteral("https://tarni.example/appcast.xml"), base64OfLength(33), false},
        {QStringLiteral("https://tarni.example/appcast.xml"), QStringLiteral("!!not base64 at all, 44 characters long!!!!"), false},
        {QString(), key, false},
        {QStringLiteral("https://tarni.example/appcast.xml"), QString(), false},
        {QVariant(5), key, false},
        {QVariant(), key, false},
    };
    for (const Row &row : rows) {
        QVariantMap info;
        if (row.feed.isValid())
            info.insert(QLatin1String(kFeedURLKey), row.feed);
        info.insert(QLatin1String(kPublicEDKeyKey), row.key);
        EXPECT_EQ(validUpdateConfiguration(info).has_value(), row.valid) << qPrintable(row.feed.toString());
    }
}

TEST(UpdateConfiguration, PlainHttpOnlyForLoopbackOrAnHttpFeedAndVersionsCompareNumerically)
{
    const bool httpsFeed = false, httpFeed = true;
    EXPECT_TRUE(isAllowedUpdateURL(QUrl(QStringLiteral("https://cdn.example/p")), httpsFeed));
    EXPECT_TRUE(isAllowedUpdateURL(QUrl(QStringLiteral("http://127.0.0.1:8/p")), httpsFeed));
    EXPECT_TRUE(isAllowedUpdateURL(QUrl(QStringLiteral("http://localhost/p")), httpsFeed));
    EXPECT_FALSE(isAllowedUpdateURL(QUrl(QStringLiteral("http://cdn.example/p")), httpsFeed));
    EXPECT_TRUE(isAllowedUpdateURL(QUrl(QStringLiteral("http://cdn.example/p")), httpFeed));
    EXPECT_FALSE(isAllowedUpdateURL(QUrl(QStringLiteral("file:///etc/passwd")), httpFeed));
    EXPECT_FALSE(isAllowedUpdateURL(QUrl(QStringLiteral("ftp://cdn.example/p")), httpFeed));

    struct Row {
        const char *a, *b;
        int order;
    } rows[] = {
        {"1.10", "1.9", 1},
        {"1.2", "1.2.0", 0},
        {"0.9.9", "1", -1},
        {"1.007", "1.7", 0},
        // Past 64 bits the numbers still compare as numbers.
        {"99999999999999999999999.0", "0.1.0", 1},
        {"99999999999999999999999", "99999999999999999999998", 1},
        {"18446744073709551616", "18446744073709551615.9", 1},
        {"9223372036854775807", "10000000000000000000", -1},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(compareVersions(QString::fromLatin1(row.a), QString::fromLatin1(row.b)), row.order) << row.a;
        EXPECT_EQ(compareVersions(QString::fromLatin1(row.b), QString::fromLatin1(row.a)), -row.order) << row.a;
    }
    for (const char *bad : {"", "1.2a", "-1", "+1", "1..2", " 1", "1.2.", "\u0661"})
        EXPECT_FALSE(parseVersion(QString::fromUtf8(bad))) << bad;
    EXPECT_TRUE(parseVersion(QString(kMaxVersionLength, QLatin1Char('9'))));
    EXPECT_FALSE(parseVersion(QString(kMaxVersionLength + 1, QLatin1Char('9'))));
}

TEST_F(UpdateFeedTest, TheNewestNewerReleaseIsDownloadedAndVerified)
{
    server.serve(QStringLiteral("/pkg-0.2.0.tar.gz"), package);
    server.serve(QStringLiteral("/old.tar.gz"), QByteArray("old"));
    const QByteArray signature = signatureOf(package, keys.secretKeyBase64);
    server.serve(QStringLiteral("/appcast.xml"),
                 feed(item("0.0.9", url("/old.tar.gz"), 3, signatureOf("old", keys.secretKeyBase64)) +
                      item("0.2.0", url("/pkg-0.2.0.tar.gz"), package.size(), signature)));
    // A move of the feed within the same scheme is followed.
    server.serve(QStringLiteral("/moved.xml"), {302, {}, url("/appcast.xml")});

    const UpdateCheckResult result = check(QStringLiteral("/moved.xml"));
    ASSERT_EQ(result.outcome, Outcome::verified) << qPrintable(result.problem.text());
    EXPECT_EQ(result.item.version, QStringLiteral("0.2.0"));
    EXPECT_EQ(result.item.releaseNotes, QUrl(QStringLiteral("https://tarni.example/notes")));
    ASSERT_TRUE(result.file);
    QFile downloaded(result.file->fileName());
    ASSERT_TRUE(downloaded.open(QIODevice::ReadOnly));
    EXPECT_EQ(downloaded.readAll(), package);
    EXPECT_EQ(downloaded.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    EXPECT_EQ(lastProgress, package.size());

    // Nothing newer, the same or only older: no package is fetched at all.
    for (const char *current : {"0.2", "0.3.1"}) {
        const qsizetype requestsBefore = server.requests().size();
        EXPECT_EQ(check(QStringLiteral("/appcast.xml"), QString::fromLatin1(current)).outcome, Outcome::upToDate)
            << current;
        EXPECT_EQ(server.requests().size(), requestsBefore + 1) << current;
    }
}

TEST_F(UpdateFeedTest, AnOpenSslSignatureOverTheWholeFileVerifies)
{
    QTemporaryDir dir;
    const QString secret = dir.filePath(QStringLiteral("key.pem"));
    const QString data = dir.filePath(QStringLiteral("pkg.tar.gz"));
    QFile out(data);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(package);
    out.close();
    auto run = [](const QStringList &arguments) {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"), arguments);
        openssl.waitForFinished(20000);
        EXPECT_EQ(openssl.exitCode(), 0) << qPrintable(QString::fromLocal8Bit(openssl.readAllStandardError()));
        return openssl.readAllStandardOutput();
    };
    run({QStringLiteral("genpkey"), QStringLiteral("-algorithm"), QStringLiteral("ed25519"), QStringLiteral("-out"), secret});
    const QByteArray publicDer = run({QStringLiteral("pkey"), QStringLiteral("-in"), secret, QStringLiteral("-pubout"),
                                      QStringLiteral("-outform"), QStringLiteral("DER")});
    const QByteArray signature = run({QStringLiteral("pkeyutl"), QStringLiteral("-sign"), QStringLiteral("-rawin"),
                                      QStringLiteral("-inkey"), secret, QStringLiteral("-in"), data});
    ASSERT_EQ(publicDer.size(), 44);
    const QString publicKey = QString::fromLatin1(publicDer.right(32).toBase64());

    EXPECT_EQ(verifyFileSignature(data, QString::fromLatin1(signature.toBase64()), publicKey), SignatureCheck::valid);
    QByteArray changed = signature;
    changed[10] = char(changed[10] ^ 1);
    EXPECT_EQ(verifyFileSignature(data, QString::fromLatin1(changed.toBase64()), publicKey), SignatureCheck::mismatch);
}

TEST_F(UpdateFeedTest, EveryUnsafeOfferIsRefusedWithItsCauseAndNothingIsKept)
{
    const QByteArray good = signatureOf(package, keys.secretKeyBase64);
    const QByteArray other = signatureOf("something else", keys.secretKeyBase64);
    server.serve(QStringLiteral("/pkg.tar.gz"), package);
    server.serve(QStringLiteral("/to-ftp.tar.gz"), {302, {}, "ftp://127.0.0.1/pkg.tar.gz"});
    const qint64 size = package.size();
    struct Case {
        const char *name;
        QByteArray feedBody;
        const char *cause;
    } cases[] = {
        {"bad signature", feed(item("0.2.0", url("/pkg.tar.gz"), size, other)),
         "The signature of version %@ does not match; the download was discarded."},
        {"signature not Base64", feed(item("0.2.0", url("/pkg.tar.gz"), size, "%%%")),
         "The signature of version %@ does not match; the download was discarded."},
        {"missing signature", feed(item("0.2.0", url("/pkg.tar.gz"), size, QByteArray())),
         "Version %@ is not signed."},
        {"shorter than said", feed(item("0.2.0", url("/pkg.tar.gz"), size + 1, good)),
         "The download of version %@ has %@ bytes instead of %@."},
        {"larger than said", feed(item("0.2.0", url("/pkg.tar.gz"), size - 1, good)),
         "The download from %@ is larger than the feed said."},
        {"absurd size", feed(item("0.2.0", url("/pkg.tar.gz"), kMaxPackageBytes + 1, good)),
         "The feed gives version %@ an impossible size."},
        {"no size", feed(item("0.2.0", url("/pkg.tar.gz"), 0, good)), "The feed gives version %@ an impossible size."},
        {"plain http elsewhere", feed(item("0.2.0", "http://cdn.example/pkg.tar.gz", size, good)),
         "The address %@ is not https."},
        {"redirect to another scheme", feed(item("0.2.0", url("/to-ftp.tar.gz"), size, good)),
         "%@ redirected to another scheme (%@)."},
        {"not XML", "<html><body>Service Unavailable", "The update feed is not a valid feed: %@"},
        {"not RSS", "<?xml version=\"1.0\"?><feed/>", "The update feed is not a valid feed: %@"},
        {"damage after the items", feed(item("0.2.0", url("/pkg.tar.gz"), size, good)) + "<rss>",
         "The update feed is not a valid feed: %@"},
    };
    for (const Case &c : cases) {
        server.serve(QStringLiteral("/appcast.xml"), c.feedBody);
        const UpdateCheckResult result = check(QStringLiteral("/appcast.xml"));
        EXPECT_EQ(result.outcome, Outcome::refused) << c.name;
        EXPECT_STREQ(result.problem.key, c.cause) << c.name;
        EXPECT_FALSE(result.file) << c.name;
    }
    EXPECT_TRUE(QDir(downloads.path()).isEmpty());
}

TEST_F(UpdateFeedTest, AStallingServerRunsIntoTheDeadlineOfTheWholeCheck)
{
    const QByteArray offer =
        feed(item("0.2.0", url("/slow.tar.gz"), package.size(), signatureOf(package, keys.secretKeyBase64)));
    server.serveSlowly(QStringLiteral("/slow.xml"), offer, 20);
    server.serve(QStringLiteral("/appcast.xml"), offer);
    server.serveSlowly(QStringLiteral("/slow.tar.gz"), package, 20);
    for (const char *feedPath : {"/slow.xml", "/appcast.xml"}) {
        QElapsedTimer clock;
        clock.start();
        const UpdateCheckResult result =
            check(QString::fromLatin1(feedPath), QStringLiteral("0.1.0"), std::chrono::milliseconds(700));
        EXPECT_EQ(result.outcome, Outcome::failed) << feedPath;
        EXPECT_STREQ(result.problem.key, "The update check timed out after %@ seconds.") << feedPath;
        EXPECT_TRUE(result.problem.text().contains(QStringLiteral("timed out after 0.7 seconds")));
        EXPECT_LT(clock.elapsed(), 5000) << feedPath;
        EXPECT_FALSE(result.file) << feedPath;
    }
    EXPECT_TRUE(QDir(downloads.path()).isEmpty());
}

namespace {

// An installed bundle: root/tarnibar-0.1.0-Linux/{bin/tarnibar, share/tarnibar}.
QString fakeBundle(const QString &parent)
{
    const QString root = parent + QStringLiteral("/tarnibar-0.1.0-Linux");
    QDir().mkpath(root + QStringLiteral("/bin"));
    QDir().mkpath(root + QStringLiteral("/share/tarnibar"));
    QFile program(root + QStringLiteral("/bin/tarnibar"));
    program.open(QIODevice::WriteOnly);
    return program.fileName();
}

} // namespace

TEST_F(UpdateFeedTest, TheUpdaterChecksDailyOnlyWhenAutomaticAndInstallsABundle)
{
    QTemporaryDir place;
    const QByteArray tarball = bundle("tarnibar-0.2.0-Linux");
    server.serve(QStringLiteral("/tarnibar-0.2.0-Linux.tar.gz"), tarball);
    server.serve(QStringLiteral("/appcast.xml"), feed(item("0.2.0", url("/tarnibar-0.2.0-Linux.tar.gz"), tarball.size(),
                                                           signatureOf(tarball, keys.secretKeyBase64))));
    QSettings settings(place.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    auto makeUpdater = [&] {
        Updater::Options options;
        options.configuration = {server.url(QStringLiteral("/appcast.xml")), QString::fromLatin1(keys.publicKeyBase64)};
        options.currentVersion = QStringLiteral("0.1.0");
        options.executable = fakeBundle(place.path()).toStdString();
        options.downloadDirectory = place.filePath(QStringLiteral("Updates"));
        options.settings = &settings;
        options.firstCheckDelay = std::chrono::milliseconds(0);
        options.pollInterval = std::chrono::milliseconds(20);
        return std::make_unique<Updater>(options);
    };

    // Automatic checks off: nothing is fetched.
    auto off = makeUpdater();
    off->setAutomaticallyChecksForUpdates(false);
    off->start();
    spinUntil([] { return false; }, 300);
    EXPECT_TRUE(server.requests().isEmpty());

    // On: one check, which installs the bundle and offers a restart.
    auto on = makeUpdater();
    QString restartWith;
    QObject::connect(on.get(), &Updater::restartOffered, [&](const QString &program, const QString &) {
        restartWith = program;
    });
    on->start();
    ASSERT_TRUE(spinUntil([&] { return !restartWith.isEmpty(); }));
    EXPECT_EQ(restartWith, place.filePath(QStringLiteral("tarnibar-current/bin/tarnibar")));
    EXPECT_EQ(QFile::symLinkTarget(place.filePath(QStringLiteral("tarnibar-current"))),
              place.filePath(QStringLiteral("tarnibar-0.2.0-Linux")));
    on.reset();

    // The day's check is remembered: a new run does not fetch again.
    const qsizetype requests = server.requests().size();
    auto again = makeUpdater();
    again->start();
    spinUntil([] { return false; }, 300);
    EXPECT_EQ(server.requests().size(), requests);
}

TEST_F(UpdateFeedTest, APackageInstallHandsTheVerifiedPackageToTheInstallerAndOtherCopiesAreLeftAlone)
{
    QTemporaryDir place;
    const QByteArray deb = "!<arch>\ndebian-binary";
    server.serve(QStringLiteral("/tarnibar_0.2.0_amd64.deb"), deb);
    server.serve(QStringLiteral("/appcast.xml"),
                 feed(item("0.2.0", url("/tarnibar_0.2.0_amd64.deb"), deb.size(), signatureOf(deb, keys.secretKeyBase64))));
    Updater::Options options;
    options.configuration = {server.url(QStringLiteral("/appcast.xml")), QString::fromLatin1(keys.publicKeyBase64)};
    options.currentVersion = QStringLiteral("0.1.0");
    options.executable = "/usr/bin/tarnibar";
    options.downloadDirectory = place.filePath(QStringLiteral("Updates"));
    QString opened;
    options.openPackage = [&](const QString &path) {
        opened = path;
        return true;
    };
    Updater updater(options);
    QStringList statuses;
    QObject::connect(&updater, &Updater::statusChanged,
                     [&](const QString &key, const QStringList &) { statuses << key; });
    updater.checkForUpdates(); // not started: nothing happens
    EXPECT_FALSE(updater.isChecking());
    updater.setAutomaticallyChecksForUpdates(false);
    updater.start();
    updater.checkForUpdates();
    ASSERT_TRUE(spinUntil([&] { return !updater.isChecking(); }));
    QFile package(opened);
    ASSERT_TRUE(package.open(QIODevice::ReadOnly)) << qPrintable(opened);
    EXPECT_EQ(package.readAll(), deb);
    EXPECT_TRUE(opened.endsWith(QStringLiteral("tarnibar_0.2.0.deb")));
    EXPECT_EQ(statuses.last(), QStringLiteral("Version %@ was verified and handed to the package installer: %@"));

    EXPECT_EQ(Updater::installKindFor("/usr/local/bin/tarnibar"), InstallKind::none);
    EXPECT_EQ(Updater::installKindFor("/home/me/build/src/app/tarnibar"), InstallKind::none);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
