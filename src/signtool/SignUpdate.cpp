// tarnibar-sign-update: the publisher's side of updates. Generates the
// Ed25519 key pair and signs release packages for the feed.

#include "update/UpdateSignature.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace tarni;

namespace {

constexpr const char *kHelp =
    "usage:\n"
    "  tarnibar-sign-update generate-key SECRET_KEY_FILE\n"
    "      make a new key pair: the secret key goes into SECRET_KEY_FILE (created, readable\n"
    "      only by you; never overwritten), the public key is printed; build with\n"
    "      -DTARNI_UPDATE_PUBLIC_KEY=<public key>\n"
    "  tarnibar-sign-update sign SECRET_KEY_FILE FILE [--enclosure URL]\n"
    "      print the Base64 Ed25519 signature of FILE; with --enclosure, print the feed's\n"
    "      <enclosure> element for FILE published at URL instead\n"
    "  tarnibar-sign-update --help\n"
    "\n"
    "Exit codes: 0 success, 2 usage error, 7 any other failure.\n";

int fail(const QString &message)
{
    std::fprintf(stderr, "tarnibar-sign-update: %s\n", qPrintable(message));
    return 7;
}

int usageError()
{
    std::fputs(kHelp, stderr);
    return 2;
}

int generateKey(const QString &secretKeyFile)
{
    const SigningKeyPair pair = generateSigningKeyPair();
    if (pair.publicKeyBase64.isEmpty())
        return fail(QStringLiteral("the cryptography library did not start"));
    const QByteArray path = QFile::encodeName(secretKeyFile);
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail(QStringLiteral("cannot create %1: %2 (an existing key is never overwritten)")
                        .arg(secretKeyFile, QString::fromLocal8Bit(strerror(errno))));
    const QByteArray content = pair.secretKeyBase64 + '\n';
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    if (::close(fd) != 0 || !written) {
        ::unlink(path.constData());
        return fail(QStringLiteral("cannot write %1").arg(secretKeyFile));
    }
    std::printf("%s\n", pair.publicKeyBase64.constData());
    return 0;
}

int sign(const QString &secretKeyFile, const QString &file, const QString &enclosureURL)
{
    QFile keyFile(secretKeyFile);
    if (!keyFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(secretKeyFile, keyFile.errorString()));
    QString error;
    const QByteArray signature = signFile(file, keyFile.read(4096).trimmed(), &error);
    if (signature.isEmpty())
        return fail(error);
    if (enclosureURL.isEmpty()) {
        std::printf("%s\n", signature.constData());
        return 0;
    }
    const QString escapedURL = enclosureURL.toHtmlEscaped();
    std::printf("<enclosure url=\"%s\" length=\"%lld\" type=\"application/octet-stream\" "
                "sparkle:edSignature=\"%s\"/>\n",
                qPrintable(escapedURL), static_cast<long long>(QFileInfo(file).size()), signature.constData());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (arguments.size() == 2 && arguments[0] == QLatin1String("generate-key"))
        return generateKey(arguments[1]);
    if (!arguments.isEmpty() && arguments[0] == QLatin1String("sign")) {
        QString enclosure;
        const qsizetype option = arguments.indexOf(QStringLiteral("--enclosure"));
        if (option >= 0) {
            if (option + 1 >= arguments.size())
                return usageError();
            enclosure = arguments[option + 1];
            arguments.remove(option, 2);
        }
        if (arguments.size() == 3)
            return sign(arguments[1], arguments[2], enclosure);
    }
    return usageError();
}
