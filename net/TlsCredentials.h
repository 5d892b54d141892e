#pragma once

#include "platform/Result.h"

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>

// This side's certificate chain and key, read from their files.
struct TlsIdentity {
    QList<QSslCertificate> chain;
    QSslKey key;
};

// Whether TLS can be used at all: Qt's TLS backend and the OpenSSL library it
// loads. Fails with the reason when not.
Result<> tlsAvailable();

// Reads the certificate and the key. Fails, with one sentence naming the file
// and the reason, when either is missing, cannot be read, holds no PEM
// certificate or key, or when the key file may be read or written by anyone
// but its owner (group or others have any access): a key others could read is
// refused rather than used.
Result<TlsIdentity> loadTlsIdentity(const QString& certificatePath, const QString& keyPath);

// Reads the certificate authorities of a PEM file (one or more). Fails with
// one sentence naming the file and the reason.
Result<QList<QSslCertificate>> loadTlsAuthorities(const QString& path);

// A listener's configuration: TLS 1.2 or later with the identity; with
// authorities, only clients whose certificate one of them signed complete the
// handshake; without, no client certificate is asked for.
QSslConfiguration tlsServerConfiguration(const TlsIdentity& identity, const QList<QSslCertificate>& authorities);

// A client's configuration: TLS 1.2 or later; the server's certificate is
// verified against the authorities, or the system's when none are given; the
// identity, when it has a certificate, is offered to servers that ask.
QSslConfiguration tlsClientConfiguration(const TlsIdentity& identity, const QList<QSslCertificate>& authorities);
