#pragma once

// Certificates for TLS tests, made with the openssl command into a temporary
// directory: an authority, a server certificate it signed for localhost
// (127.0.0.1 and ::1 too), a client certificate it signed, and a client
// certificate signed by another authority. Keys are P-256 and only their
// owner's (mode 0600).

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class TestCertificates {
public:
    TestCertificates()
    {
        ok_ = dir_.isValid() && make({QStringLiteral("-subj"), QStringLiteral("/CN=Test authority")}, QStringLiteral("ca"), {})
              && make({QStringLiteral("-subj"), QStringLiteral("/CN=Other authority")}, QStringLiteral("other-ca"), {})
              && make({QStringLiteral("-subj"), QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                       QStringLiteral("subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1")},
                      QStringLiteral("server"), QStringLiteral("ca"))
              && make({QStringLiteral("-subj"), QStringLiteral("/CN=client")}, QStringLiteral("client"), QStringLiteral("ca"))
              && make({QStringLiteral("-subj"), QStringLiteral("/CN=stranger")}, QStringLiteral("stranger"), QStringLiteral("other-ca"));
    }

    // False, with the reason in error(), when openssl failed.
    bool ok() const { return ok_; }
    QString error() const { return error_; }
    // NAME.pem and NAME.key: ca, other-ca, server, client, stranger.
    QString certificate(const QString& name) const { return dir_.filePath(name + QStringLiteral(".pem")); }
    QString key(const QString& name) const { return dir_.filePath(name + QStringLiteral(".key")); }
    QString path() const { return dir_.path(); }

private:
    // A self-signed authority (no signer), or a leaf signed by signer.
    bool make(QStringList arguments, const QString& name, const QString& signer)
    {
        arguments = QStringList{QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                                QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"),
                                QStringLiteral("-keyout"), key(name), QStringLiteral("-out"), certificate(name)}
                  + arguments;
        if (!signer.isEmpty())
            arguments << QStringLiteral("-addext") << QStringLiteral("basicConstraints=critical,CA:FALSE") << QStringLiteral("-CA") << certificate(signer)
                      << QStringLiteral("-CAkey") << key(signer);
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"), arguments);
        if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
            error_ = QStringLiteral("openssl failed: ") + openssl.errorString() + u' ' + QString::fromLocal8Bit(openssl.readAll());
            return false;
        }
        return QFile::setPermissions(key(name), QFile::ReadOwner | QFile::WriteOwner);
    }

    QTemporaryDir dir_;
    bool ok_ = false;
    QString error_;
};
