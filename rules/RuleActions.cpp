#include "rules/RuleActions.h"

#include "net/Forwarder.h"
#include "net/SmtpClient.h"
#include "platform/SettingsStore.h"
#include "settings/SettingsTexts.h"

#include <QHostInfo>
#include <QPointer>
#include <QProcess>
#include <QTimer>
#include <map>
#include <memory>

namespace {

// Of a failing program's standard error, this much of the end is told.
constexpr qsizetype kStandardErrorKept = 2000;

QString number(int value) { return value < 0 ? QString() : QString::number(value); }

} // namespace

Result<SmtpSettings> loadSmtpSettings(const SettingsStore& store)
{
    using namespace settingstexts;
    SmtpSettings settings;
    settings.host = store.read(smtpHostValueName()).trimmed();
    const QString security = store.read(smtpSecurityValueName()).trimmed().toLower();
    if (security.isEmpty() || security == u"starttls")
        settings.security = SmtpSettings::Security::StartTls;
    else if (security == u"tls")
        settings.security = SmtpSettings::Security::Tls;
    else if (security == u"none")
        settings.security = SmtpSettings::Security::None;
    else
        return Failure{QStringLiteral("smtpsecurity=%1 is none of starttls, tls and none").arg(security)};
    const QString port = store.read(smtpPortValueName()).trimmed();
    if (!port.isEmpty()) {
        bool ok = false;
        const uint value = port.toUInt(&ok);
        if (!ok || value < 1 || value > 65535)
            return Failure{QStringLiteral("smtpport=%1 is not a port of 1 to 65535").arg(port)};
        settings.port = quint16(value);
    }
    settings.user = store.read(smtpUserValueName());
    settings.password = store.read(smtpPasswordValueName());
    settings.from = store.read(smtpFromValueName()).trimmed();
    if (settings.from.isEmpty())
        settings.from = QStringLiteral("kiv-syslog@") + QHostInfo::localHostName();
    return settings;
}

QList<QPair<QString, QString>> ruleEnvironment(const RuleFiring& firing)
{
    const LogRecord& record = firing.record;
    const QString message = record.fields.known() ? record.fields.msg(record.message) : record.message;
    return {{QStringLiteral("KIV_RULE"), firing.rule},
            {QStringLiteral("KIV_TIME"), record.time},
            {QStringLiteral("KIV_IP"), record.ip},
            {QStringLiteral("KIV_SEVERITY"), number(record.fields.severity)},
            {QStringLiteral("KIV_FACILITY"), number(record.fields.facility)},
            {QStringLiteral("KIV_HOST"), record.fields.host},
            {QStringLiteral("KIV_APP"), record.fields.app},
            {QStringLiteral("KIV_MESSAGE"), message},
            {QStringLiteral("KIV_SUPPRESSED"), QString::number(firing.held)}};
}

MailMessage ruleMail(const RuleFiring& firing, const QString& to)
{
    const LogRecord& record = firing.record;
    const QString whole = record.fields.wholeText(record.message);
    MailMessage mail;
    mail.to = to;
    // One line, whatever the rule's name and the message hold.
    mail.subject =
        QStringLiteral("[kiv-syslog] %1: %2%3").arg(firing.rule, whole.left(100), firing.heldText()).simplified();
    QString body = QStringLiteral("The rule \"%1\" fired for this record%2.\n\n").arg(firing.rule, firing.heldText());
    body += QStringLiteral("Time:     %1\nSender:   %2\n").arg(record.time, record.ip);
    if (record.fields.severity >= 0)
        body += QStringLiteral("Severity: %1\nFacility: %2\n").arg(record.fields.severity).arg(record.fields.facility);
    if (!record.fields.host.isEmpty())
        body += QStringLiteral("Host:     %1\n").arg(record.fields.host);
    if (!record.fields.app.isEmpty())
        body += QStringLiteral("Program:  %1\n").arg(record.fields.app);
    body += QStringLiteral("Message:  %1\n").arg(whole);
    mail.body = body;
    return mail;
}

// Lives on the actions' thread; everything it starts does too.
class RuleActions::Worker final : public QObject {
public:
    Worker(RuleActions& owner, const SettingsStore* settings) : owner_(owner), settings_(settings) {}

    void run(const QString& rule, const RuleAction& action, const RuleFiring& firing)
    {
        auto* process = new QProcess(this);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const auto& [name, value] : ruleEnvironment(firing))
            environment.insert(name, value);
        process->setProcessEnvironment(environment);
        process->setProgram(action.command.first());
        process->setArguments(action.command.mid(1));
        process->setStandardInputFile(QProcess::nullDevice());
        process->setStandardOutputFile(QProcess::nullDevice());
        const QString what = QStringLiteral("rule \"%1\": the program %2").arg(rule, action.command.first());
        auto* timer = new QTimer(process);
        timer->setSingleShot(true);
        auto errors = std::make_shared<QByteArray>();
        auto killed = std::make_shared<bool>(false);
        connect(timer, &QTimer::timeout, process, [process, killed] {
            *killed = true;
            process->kill();
        });
        connect(process, &QProcess::readyReadStandardError, process, [process, errors] {
            *errors += process->readAllStandardError();
            if (errors->size() > kStandardErrorKept)
                errors->remove(0, errors->size() - kStandardErrorKept);
        });
        const int timeoutSeconds = action.timeoutSeconds;
        connect(process, &QProcess::finished, this,
                [this, process, errors, killed, what, timeoutSeconds](int code, QProcess::ExitStatus status) {
                    *errors += process->readAllStandardError();
                    const QString standardError = QString::fromLocal8Bit(errors->right(kStandardErrorKept)).trimmed();
                    const QString tail = standardError.isEmpty()
                                             ? QString()
                                             : QStringLiteral("; standard error: ") + standardError;
                    process->deleteLater();
                    if (*killed)
                        owner_.done(false, QStringLiteral("%1 was killed after %2 s%3").arg(what).arg(timeoutSeconds).arg(tail));
                    else if (status == QProcess::CrashExit)
                        owner_.done(false, QStringLiteral("%1 crashed%2").arg(what, tail));
                    else if (code != 0)
                        owner_.done(false, QStringLiteral("%1 ended with exit status %2%3").arg(what).arg(code).arg(tail));
                    else
                        owner_.done(true, QStringLiteral("%1 ran").arg(what));
                });
        connect(process, &QProcess::errorOccurred, this, [this, process, what](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return; // the others end in finished()
            process->deleteLater();
            owner_.done(false, QStringLiteral("%1 could not be started: %2").arg(what, process->errorString()));
        });
        timer->start(timeoutSeconds * 1000);
        process->start();
    }

    void mail(const QString& rule, const RuleAction& action, const RuleFiring& firing)
    {
        const QString what = QStringLiteral("rule \"%1\": the mail to %2").arg(rule, action.target);
        const Result<SmtpSettings> settings =
            settings_ ? loadSmtpSettings(*settings_) : Result<SmtpSettings>(Failure{QStringLiteral("no settings")});
        if (!settings) {
            owner_.done(false, QStringLiteral("%1 was not sent: %2").arg(what, settings.error()));
            return;
        }
        QPointer<Worker> self(this);
        SmtpClient::send(*settings, ruleMail(firing, action.target), [self, what](const QString& failure) {
            if (!self)
                return;
            if (failure.isEmpty())
                self->owner_.done(true, QStringLiteral("%1 was sent").arg(what));
            else
                self->owner_.done(false, QStringLiteral("%1 was not sent: %2").arg(what, failure));
        });
    }

    void forward(const QString& rule, const RuleAction& action, const RuleFiring& firing)
    {
        std::unique_ptr<Forwarder>& forwarder = forwarders_[action.target];
        if (!forwarder) {
            forwarder = std::make_unique<Forwarder>(parseForwardDestinations(action.target).destinations);
            const QMutexLocker lock(&owner_.forwardersMutex_);
            owner_.forwarders_ << forwarder.get();
        }
        const LogRecord& record = firing.record;
        QByteArray bytes;
        if (record.fields.facility >= 0 && record.fields.severity >= 0)
            bytes = '<' + QByteArray::number(record.fields.facility * 8 + record.fields.severity) + '>';
        bytes += record.fields.wholeText(record.message).toUtf8();
        forwarder->forward(bytes, record.ip, QDateTime::fromString(record.time, QLatin1String(kTimeFormat)));
        owner_.done(true, QStringLiteral("rule \"%1\": the record was queued for %2").arg(rule, action.target));
    }

private:
    RuleActions& owner_;
    const SettingsStore* settings_;
    std::map<QString, std::unique_ptr<Forwarder>> forwarders_;
};

RuleActions::RuleActions(const SettingsStore* settings, int capacity, QObject* parent)
    : QObject(parent), capacity_(capacity), worker_(new Worker(*this, settings))
{
    thread_.setObjectName(QStringLiteral("rule actions"));
    worker_->moveToThread(&thread_);
    thread_.start();
}

RuleActions::~RuleActions()
{
    // The worker and what it started go on its own thread.
    {
        const QMutexLocker lock(&forwardersMutex_);
        forwarders_.clear();
    }
    QMetaObject::invokeMethod(worker_, [worker = worker_] { delete worker; }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
}

QList<ForwardStatus> RuleActions::forwardStatus() const
{
    const QMutexLocker lock(&forwardersMutex_);
    QList<ForwardStatus> status;
    for (const Forwarder* forwarder : forwarders_)
        status << forwarder->status();
    return status;
}

void RuleActions::submit(const Rule& rule, const RuleFiring& firing)
{
    for (const RuleAction& action : rule.actions) {
        void (Worker::*carryOut)(const QString&, const RuleAction&, const RuleFiring&) = nullptr;
        switch (action.kind) {
        case RuleAction::Kind::Run:
            carryOut = &Worker::run;
            break;
        case RuleAction::Kind::Mail:
            carryOut = &Worker::mail;
            break;
        case RuleAction::Kind::Forward:
            carryOut = &Worker::forward;
            break;
        case RuleAction::Kind::Notify:
        case RuleAction::Kind::Colour:
            continue; // the windows and the service do these
        }
        if (pending_.fetch_add(1) >= capacity_) {
            --pending_;
            ++dropped_;
            continue;
        }
        QMetaObject::invokeMethod(
            worker_, [worker = worker_, carryOut, name = rule.name, action, firing] { (worker->*carryOut)(name, action, firing); },
            Qt::QueuedConnection);
    }
}

void RuleActions::done(bool ok, const QString& line)
{
    --pending_;
    if (!ok)
        ++failed_;
    emit finished(ok, line);
}
