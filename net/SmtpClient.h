#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class QSslSocket;
class QTimer;

// Where and how mail is sent.
struct SmtpSettings {
    // STARTTLS: plain connection, then TLS before anything is sent; Tls: TLS
    // from the first byte ("SMTPS"); None: no TLS (no password is sent then).
    enum class Security { StartTls, Tls, None };

    QString host;
    quint16 port = 0; // 0: 587 for STARTTLS, 465 for TLS, 25 without
    Security security = Security::StartTls;
    // Empty: no login (AUTH PLAIN otherwise).
    QString user;
    QString password;
    QString from;

    quint16 effectivePort() const;
};

struct MailMessage {
    QString to;
    QString subject;
    QString body;
};

// A small SMTP client (RFC 5321) for one message: connect, EHLO, STARTTLS
// when asked, AUTH PLAIN when a user is set, MAIL, RCPT, DATA, QUIT. Runs on
// the event loop of the thread it is made on and never waits; done is called
// once with an empty text on success, else with the step that failed and the
// server's answer, and the client then deletes itself.
class SmtpClient final : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(const QString& failure)>;

    // Starts sending; the client lives until done has been called.
    static void send(const SmtpSettings& settings, const MailMessage& message, Done done, int timeoutMs = 60000);

private:
    SmtpClient(const SmtpSettings& settings, const MailMessage& message, Done done, int timeoutMs);

    enum class Step { Greeting, Hello, StartTls, HelloAgain, Auth, MailFrom, RcptTo, Data, Body, Quit };

    void start();
    void readReplies();
    void onReply(int code, const QString& text);
    void sendLine(const QByteArray& line);
    void hello(Step step);
    void afterHello();
    void finish(const QString& failure);
    QByteArray messageText() const;

    SmtpSettings settings_;
    MailMessage message_;
    Done done_;
    QSslSocket* socket_;
    QTimer* timeout_;
    Step step_ = Step::Greeting;
    QByteArray buffer_;
    QStringList replyLines_;
    bool finished_ = false;
};
