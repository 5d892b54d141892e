#include "net/TlsCredentials.h"

#include <QDir>
#include <QFile>
#include <QSslSocket>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

QString nativePath(const QString& path) { return QDir::toNativeSeparators(path); }

// The whole file, or the reason it cannot be read.
Result<QByteArray> readFile(const QString& what, const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Failure{QStringLiteral("the %1 file %2 cannot be read: %3").arg(what, nativePath(path), file.errorString())};
    return file.readAll();
}

// The key file is for its owner alone: any access of group or others refuses it.
Result<> checkKeyAccess(const QString& path)
{
#ifdef Q_OS_UNIX
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {}; // reading the file tells the reason
    if ((status.st_mode & 077) != 0)
        return Failure{QStringLiteral("the TLS key file %1 may be read or written by others than its owner (mode %2): "
                                      "it is not used; make it its owner's alone (chmod 600 %1)")
                           .arg(nativePath(path))
                           .arg(QString::number(status.st_mode & 0777, 8).rightJustified(4, u'0'))};
#else
    Q_UNUSED(path);
#endif
    return {};
}

} // namespace

Result<> tlsAvailable()
{
    if (!QSslSocket::supportsSsl())
        return Failure{QStringLiteral("TLS is not available: Qt's TLS backend or the OpenSSL library it needs (%1) "
                                      "could not be loaded")
                           .arg(QSslSocket::sslLibraryBuildVersionString())};
    return {};
}

Result<TlsIdentity> loadTlsIdentity(const QString& certificatePath, const QString& keyPath)
{
    if (certificatePath.isEmpty() || keyPath.isEmpty())
        return Failure{QStringLiteral("a TLS certificate needs its key and a key its certificate: \"tlscert\" and "
                                      "\"tlskey\" must both name a file")};
    const Result<QByteArray> certificateText = readFile(QStringLiteral("TLS certificate"), certificatePath);
    if (!certificateText)
        return Failure{certificateText.error()};
    TlsIdentity identity;
    identity.chain = QSslCertificate::fromData(*certificateText, QSsl::Pem);
    if (identity.chain.isEmpty() || identity.chain.first().isNull())
        return Failure{QStringLiteral("the TLS certificate file %1 holds no PEM certificate").arg(nativePath(certificatePath))};
    if (const Result<> access = checkKeyAccess(keyPath); !access)
        return Failure{access.error()};
    const Result<QByteArray> keyText = readFile(QStringLiteral("TLS key"), keyPath);
    if (!keyText)
        return Failure{keyText.error()};
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        identity.key = QSslKey(*keyText, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!identity.key.isNull())
            break;
    }
    if (identity.key.isNull())
        return Failure{QStringLiteral("the TLS key file %1 holds no PEM private key (RSA, EC or DSA, not encrypted)")
                           .arg(nativePath(keyPath))};
    return identity;
}

Result<QList<QSslCertificate>> loadTlsAuthorities(const QString& path)
{
    const Result<QByteArray> text = readFile(QStringLiteral("TLS certificate authority"), path);
    if (!text)
        return Failure{text.error()};
    const QList<QSslCertificate> authorities = QSslCertificate::fromData(*text, QSsl::Pem);
    if (authorities.isEmpty() || authorities.first().isNull())
        return Failure{QStringLiteral("the TLS certificate authority file %1 holds no PEM certificate").arg(nativePath(path))};
    return authorities;
}

QSslConfiguration tlsServerConfiguration(const TlsIdentity& identity, const QList<QSslCertificate>& authorities)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setLocalCertificateChain(identity.chain);
    configuration.setPrivateKey(identity.key);
    if (authorities.isEmpty()) {
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    } else {
        configuration.setCaCertificates(authorities);
        configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    }
    return configuration;
}

QSslConfiguration tlsClientConfiguration(const TlsIdentity& identity, const QList<QSslCertificate>& authorities)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!authorities.isEmpty())
        configuration.setCaCertificates(authorities);
    if (!identity.chain.isEmpty()) {
        configuration.setLocalCertificateChain(identity.chain);
        configuration.setPrivateKey(identity.key);
    }
    return configuration;
}
