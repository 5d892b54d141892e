#include "net/SmtpClient.h"

#include <QDateTime>
#include <QHostInfo>
#include <QLocale>
#include <QSslSocket>
#include <QTimer>
#include <QUuid>

namespace {

// A header's text: plain ASCII as it is, anything else as UTF-8 in base64 (RFC 2047).
QByteArray headerText(const QString& text)
{
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return "=?UTF-8?B?" + text.toUtf8().toBase64() + "?=";
    return text.toLatin1();
}

QString stepName(int step)
{
    static const char* const names[] = {"greeting", "EHLO", "STARTTLS", "EHLO after STARTTLS", "AUTH PLAIN",
                                        "MAIL FROM", "RCPT TO", "DATA", "the message", "QUIT"};
    return QString::fromLatin1(names[step]);
}

} // namespace

quint16 SmtpSettings::effectivePort() const
{
    if (port != 0)
        return port;
    switch (security) {
    case Security::StartTls:
        return 587;
    case Security::Tls:
        return 465;
    case Security::None:
        break;
    }
    return 25;
}

void SmtpClient::send(const SmtpSettings& settings, const MailMessage& message, Done done, int timeoutMs)
{
    (new SmtpClient(settings, message, std::move(done), timeoutMs))->start();
}

SmtpClient::SmtpClient(const SmtpSettings& settings, const MailMessage& message, Done done, int timeoutMs)
    : settings_(settings)
    , message_(message)
    , done_(std::move(done))
    , socket_(new QSslSocket(this))
    , timeout_(new QTimer(this))
{
    timeout_->setSingleShot(true);
    timeout_->setInterval(timeoutMs);
    connect(timeout_, &QTimer::timeout, this, [this] {
        finish(QStringLiteral("no answer from %1:%2 within %3 s at %4")
                   .arg(settings_.host)
                   .arg(settings_.effectivePort())
                   .arg(timeout_->interval() / 1000)
                   .arg(stepName(int(step_))));
    });
    connect(socket_, &QSslSocket::readyRead, this, &SmtpClient::readReplies);
    connect(socket_, &QAbstractSocket::errorOccurred, this, [this] {
        if (step_ == Step::Quit) {
            finish({}); // the server closed after QUIT
            return;
        }
        finish(QStringLiteral("%1:%2 at %3: %4")
                   .arg(settings_.host)
                   .arg(settings_.effectivePort())
                   .arg(stepName(int(step_)), socket_->errorString()));
    });
    connect(socket_, &QSslSocket::encrypted, this, [this] {
        if (step_ == Step::StartTls)
            hello(Step::HelloAgain);
    });
}

void SmtpClient::start()
{
    if (settings_.host.isEmpty()) {
        finish(QStringLiteral("no mail server is set (smtphost in varare.conf)"));
        return;
    }
    if (!settings_.user.isEmpty() && settings_.security == SmtpSettings::Security::None) {
        finish(QStringLiteral("a password is never sent without TLS: set smtpsecurity to starttls or tls"));
        return;
    }
    timeout_->start();
    if (settings_.security == SmtpSettings::Security::Tls)
        socket_->connectToHostEncrypted(settings_.host, settings_.effectivePort());
    else
        socket_->connectToHost(settings_.host, settings_.effectivePort());
}

// Replies are one or more lines "250-..." ending with "250 ...".
void SmtpClient::readReplies()
{
    buffer_ += socket_->readAll();
    for (qsizetype end = buffer_.indexOf('\n'); end >= 0 && !finished_; end = buffer_.indexOf('\n')) {
        const QByteArray line = buffer_.first(end).trimmed();
        buffer_.remove(0, end + 1);
        replyLines_ << QString::fromUtf8(line.mid(4));
        if (line.size() >= 4 && line[3] == '-')
            continue;
        const int code = line.left(3).toInt();
        const QString text = replyLines_.join(u' ');
        replyLines_.clear();
        onReply(code, text);
    }
}

void SmtpClient::onReply(int code, const QString& text)
{
    timeout_->start();
    const int expected = step_ == Step::Greeting || step_ == Step::StartTls ? 220
                       : step_ == Step::Auth                                 ? 235
                       : step_ == Step::Data                                 ? 354
                       : step_ == Step::Quit                                 ? 221
                                                                             : 250;
    const bool accepted = code == expected || (step_ == Step::RcptTo && code == 251);
    if (!accepted && step_ != Step::Quit) {
        finish(QStringLiteral("%1:%2 refused %3: %4 %5")
                   .arg(settings_.host)
                   .arg(settings_.effectivePort())
                   .arg(stepName(int(step_)))
                   .arg(code)
                   .arg(text));
        return;
    }
    switch (step_) {
    case Step::Greeting:
        hello(Step::Hello);
        break;
    case Step::Hello:
        if (settings_.security == SmtpSettings::Security::StartTls) {
            step_ = Step::StartTls;
            sendLine("STARTTLS");
        } else {
            afterHello();
        }
        break;
    case Step::StartTls:
        socket_->startClientEncryption();
        break;
    case Step::HelloAgain:
    case Step::Auth:
        if (step_ == Step::HelloAgain && !settings_.user.isEmpty()) {
            step_ = Step::Auth;
            sendLine("AUTH PLAIN " + (QByteArray(1, '\0') + settings_.user.toUtf8() + QByteArray(1, '\0')
                                      + settings_.password.toUtf8())
                                         .toBase64());
        } else {
            step_ = Step::MailFrom;
            sendLine("MAIL FROM:<" + settings_.from.toUtf8() + '>');
        }
        break;
    case Step::MailFrom:
        step_ = Step::RcptTo;
        sendLine("RCPT TO:<" + message_.to.toUtf8() + '>');
        break;
    case Step::RcptTo:
        step_ = Step::Data;
        sendLine("DATA");
        break;
    case Step::Data:
        step_ = Step::Body;
        socket_->write(messageText());
        break;
    case Step::Body:
        step_ = Step::Quit;
        sendLine("QUIT");
        break;
    case Step::Quit:
        finish({});
        break;
    }
}

void SmtpClient::hello(Step step)
{
    step_ = step;
    QString name = QHostInfo::localHostName();
    if (name.isEmpty())
        name = QStringLiteral("localhost");
    sendLine("EHLO " + name.toUtf8());
}

// Over TLS from the start, or without TLS, the first EHLO is the last.
void SmtpClient::afterHello()
{
    step_ = Step::HelloAgain;
    onReply(250, {});
}

void SmtpClient::sendLine(const QByteArray& line) { socket_->write(line + "\r\n"); }

// Headers, a blank line and the body, its lines ended by CR LF, a leading dot
// doubled, and the lone dot that ends it.
QByteArray SmtpClient::messageText() const
{
    QByteArray text;
    text += "From: " + settings_.from.toUtf8() + "\r\n";
    text += "To: " + message_.to.toUtf8() + "\r\n";
    text += "Subject: " + headerText(message_.subject) + "\r\n";
    const QDateTime now = QDateTime::currentDateTime();
    const int offsetMinutes = now.offsetFromUtc() / 60;
    text += "Date: " + QLocale::c().toString(now, u"ddd, dd MMM yyyy HH:mm:ss ").toUtf8()
          + QStringLiteral("%1%2%3")
                .arg(offsetMinutes < 0 ? u'-' : u'+')
                .arg(qAbs(offsetMinutes) / 60, 2, 10, QLatin1Char('0'))
                .arg(qAbs(offsetMinutes) % 60, 2, 10, QLatin1Char('0'))
                .toUtf8()
          + "\r\n";
    text += "Message-ID: <" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces) + "@kiv-syslog>\r\n";
    text += "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n";
    QString body = message_.body;
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (body.endsWith(u'\n'))
        body.chop(1);
    for (const QString& line : body.split(u'\n')) {
        if (line.startsWith(u'.'))
            text += '.';
        text += line.toUtf8() + "\r\n";
    }
    return text + ".\r\n";
}

void SmtpClient::finish(const QString& failure)
{
    if (std::exchange(finished_, true))
        return;
    timeout_->stop();
    socket_->disconnect(this);
    socket_->abort();
    if (done_)
        done_(failure);
    deleteLater();
}
