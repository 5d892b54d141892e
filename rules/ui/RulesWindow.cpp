#include "rules/ui/RulesWindow.h"

#include "intake/MessageText.h"
#include "net/SyslogParser.h"
#include "platform/ui/LogLineDelegate.h"
#include "platform/ui/Named.h"
#include "rules/RuleMatcher.h"
#include "rules/RulesFile.h"
#include "store/Severity.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDateTime>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidgetItem>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

namespace {

enum Column { On, Name, Matched, Fired, Held, ColumnCount };

const RuleCounter* counterOf(const RulesState& state, const QString& name)
{
    for (const RuleCounter& counter : state.counters) {
        if (counter.name == name)
            return &counter;
    }
    return nullptr;
}

QLineEdit* lineEdit(const char* objectName, QWidget* parent)
{
    return makeNamed<QLineEdit>(QLatin1String(objectName), parent);
}

} // namespace

void setRuleColour(QListWidgetItem& line, const LogRecord& record, const RuleColours& colours)
{
    if (const std::optional<quint32> colour = colours.colourFor(record))
        line.setData(kRuleColourRole, uint(*colour));
}

RulesWindow::RulesWindow(QString path, QWidget* parent) : QWidget(parent, Qt::Window), path_(std::move(path))
{
    setObjectName(QStringLiteral("rulesWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Rules"));
    buildControls();
    const ParsedRules parsed = RulesFile::read(path_);
    rules_ = parsed.rules;
    fillTable();
    if (!rules_.isEmpty())
        table_->selectRow(0);
    else
        showRule(-1);
}

void RulesWindow::buildControls()
{
    auto* layout = new QHBoxLayout(this);

    auto* left = new QVBoxLayout;
    table_ = makeNamed<QTableWidget>(QStringLiteral("rulesTable"), 0, ColumnCount, this);
    table_->setHorizontalHeaderLabels({tr("On"), tr("Name"), tr("Matched"), tr("Fired"), tr("Held back")});
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setSectionResizeMode(Name, QHeaderView::Stretch);
    left->addWidget(table_);

    auto* buttons = new QHBoxLayout;
    auto* add = new QPushButton(tr("Add"), this);
    auto* remove = new QPushButton(tr("Delete"), this);
    auto* saveButton = makeNamed<QPushButton>(QStringLiteral("saveButton"), tr("Save"), this);
    auto* reload = new QPushButton(tr("Reload"), this);
    for (QPushButton* button : {add, remove, saveButton, reload})
        buttons->addWidget(button);
    left->addLayout(buttons);

    auto* testBox = new QGroupBox(tr("Test a message"), this);
    auto* testLayout = new QFormLayout(testBox);
    sample_ = makeNamed<QPlainTextEdit>(QStringLiteral("sampleMessage"), testBox);
    sample_->setPlaceholderText(tr("Paste a syslog line, e.g. <11>Dec  8 02:00:00 sw1 kernel: link down"));
    sample_->setMaximumHeight(sample_->fontMetrics().lineSpacing() * 4);
    testLayout->addRow(tr("Message"), sample_);
    sampleAddress_ = lineEdit("sampleAddress", testBox);
    sampleAddress_->setText(QStringLiteral("127.0.0.1"));
    testLayout->addRow(tr("Sender address"), sampleAddress_);
    auto* test = new QPushButton(tr("Test"), testBox);
    testLayout->addRow(test);
    testResult_ = makeNamed<QLabel>(QStringLiteral("testResult"), testBox);
    testResult_->setWordWrap(true);
    testResult_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    testLayout->addRow(testResult_);
    left->addWidget(testBox);

    status_ = makeNamed<QLabel>(QStringLiteral("rulesStatus"), this);
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    left->addWidget(status_);
    layout->addLayout(left, 3);

    auto* form = new QGroupBox(tr("Rule"), this);
    auto* formLayout = new QFormLayout(form);
    name_ = lineEdit("ruleName", form);
    formLayout->addRow(tr("Name"), name_);
    enabled_ = makeNamed<QCheckBox>(QStringLiteral("ruleEnabled"), tr("Enabled"), form);
    formLayout->addRow(enabled_);
    cooldown_ = makeNamed<QSpinBox>(QStringLiteral("ruleCooldown"), form);
    cooldown_->setRange(0, 7 * 24 * 3600);
    cooldown_->setSuffix(tr(" s"));
    formLayout->addRow(tr("Cooldown"), cooldown_);

    severity_ = makeNamed<QComboBox>(QStringLiteral("ruleSeverity"), form);
    severity_->addItem(tr("any"), -1);
    for (int level = 0; level <= 7; ++level)
        severity_->addItem(QStringLiteral("%1 %2").arg(level).arg(severityName(level)), level);
    formLayout->addRow(tr("Severity at most"), severity_);
    facility_ = makeNamed<QComboBox>(QStringLiteral("ruleFacility"), form);
    facility_->addItem(tr("any"), -1);
    const char* const facilities[] = {"kern",   "user",   "mail",   "daemon", "auth",   "syslog",
                                      "lpr",    "news",   "uucp",   "cron",   "authpriv", "ftp",
                                      "ntp",    "audit",  "alert",  "clock",  "local0", "local1",
                                      "local2", "local3", "local4", "local5", "local6", "local7"};
    for (int number = 0; number < 24; ++number)
        facility_->addItem(QStringLiteral("%1 %2").arg(number).arg(QLatin1String(facilities[number])), number);
    formLayout->addRow(tr("Facility"), facility_);
    address_ = lineEdit("ruleAddress", form);
    address_->setPlaceholderText(tr("10.0.0.5 or 10.0.0.0/8"));
    formLayout->addRow(tr("Sender address"), address_);
    host_ = lineEdit("ruleHost", form);
    formLayout->addRow(tr("Host"), host_);
    app_ = lineEdit("ruleApp", form);
    formLayout->addRow(tr("Program"), app_);
    contains_ = lineEdit("ruleContains", form);
    caseSensitive_ = makeNamed<QCheckBox>(QStringLiteral("ruleCaseSensitive"), tr("Case-sensitive"), form);
    auto* containsRow = new QHBoxLayout;
    containsRow->addWidget(contains_);
    containsRow->addWidget(caseSensitive_);
    formLayout->addRow(tr("Contains"), containsRow);
    regex_ = lineEdit("ruleRegex", form);
    formLayout->addRow(tr("Regular expression"), regex_);

    notify_ = makeNamed<QCheckBox>(QStringLiteral("ruleNotify"), tr("Desktop notification"), form);
    formLayout->addRow(tr("Actions"), notify_);
    runProgram_ = lineEdit("ruleRunProgram", form);
    formLayout->addRow(tr("Run program"), runProgram_);
    runArguments_ = lineEdit("ruleRunArguments", form);
    formLayout->addRow(tr("Arguments"), runArguments_);
    runTimeout_ = new QSpinBox(form);
    runTimeout_->setRange(1, 24 * 3600);
    runTimeout_->setSuffix(tr(" s"));
    formLayout->addRow(tr("Time limit"), runTimeout_);
    mail_ = lineEdit("ruleMail", form);
    formLayout->addRow(tr("Mail to"), mail_);
    forward_ = lineEdit("ruleForward", form);
    forward_->setPlaceholderText(QStringLiteral("udp://10.0.0.5:514"));
    formLayout->addRow(tr("Forward to"), forward_);
    colour_ = lineEdit("ruleColour", form);
    colour_->setPlaceholderText(QStringLiteral("#c00000"));
    colourButton_ = new QPushButton(tr("Choose…"), form);
    auto* colourRow = new QHBoxLayout;
    colourRow->addWidget(colour_);
    colourRow->addWidget(colourButton_);
    formLayout->addRow(tr("Line colour"), colourRow);

    auto* apply = makeNamed<QPushButton>(QStringLiteral("applyButton"), tr("Apply"), form);
    formLayout->addRow(apply);
    formFault_ = makeNamed<QLabel>(QStringLiteral("formFault"), form);
    formFault_->setWordWrap(true);
    formFault_->setStyleSheet(QStringLiteral("color: #c00000"));
    formLayout->addRow(formFault_);
    layout->addWidget(form, 2);

    connect(add, &QPushButton::clicked, this, [this] { addRule(); });
    connect(remove, &QPushButton::clicked, this, [this] { deleteRule(); });
    connect(saveButton, &QPushButton::clicked, this, [this] { save(); });
    connect(reload, &QPushButton::clicked, this, [this] {
        rules_ = RulesFile::read(path_).rules;
        fillTable();
        if (onReload)
            onReload();
    });
    connect(test, &QPushButton::clicked, this, [this] { testMessage(); });
    connect(apply, &QPushButton::clicked, this, [this] { applyForm(); });
    connect(colourButton_, &QPushButton::clicked, this, [this] { chooseColour(); });
    connect(table_, &QTableWidget::currentCellChanged, this, [this](int row) { showRule(row); });
    connect(table_, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (!filling_ && item->column() == On)
            setRuleEnabled(item->row(), item->checkState() == Qt::Checked);
    });
    resize(960, 620);
}

void RulesWindow::fillTable()
{
    filling_ = true;
    const int current = table_->currentRow();
    table_->setRowCount(int(rules_.size()));
    for (int row = 0; row < rules_.size(); ++row) {
        const Rule& rule = rules_[row];
        auto* on = new QTableWidgetItem;
        on->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        on->setCheckState(rule.enabled ? Qt::Checked : Qt::Unchecked);
        table_->setItem(row, On, on);
        auto* name = new QTableWidgetItem(rule.name);
        name->setToolTip(RuleSet::describe(rule));
        table_->setItem(row, Name, name);
        const RuleCounter* counter = counterOf(state_, rule.name);
        const qint64 numbers[] = {counter ? counter->matched : 0, counter ? counter->fired : 0,
                                  counter ? counter->held : 0};
        for (int column = Matched; column <= Held; ++column) {
            auto* number = new QTableWidgetItem(QString::number(numbers[column - Matched]));
            number->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            table_->setItem(row, column, number);
        }
    }
    if (current >= 0 && current < rules_.size())
        table_->setCurrentCell(current, Name);
    filling_ = false;
    status_->setText(statusText());
}

QString RulesWindow::statusText() const
{
    QStringList lines;
    if (!note_.isEmpty())
        lines << note_;
    if (!state_.faults.isEmpty())
        lines << tr("The receiver could not read: %1").arg(state_.faults.join(QStringLiteral("; ")));
    if (state_.actionsDropped > 0 || state_.actionsFailed > 0 || state_.notificationsDropped > 0)
        lines << tr("Actions dropped: %1, failed: %2; notifications dropped: %3")
                     .arg(state_.actionsDropped)
                     .arg(state_.actionsFailed)
                     .arg(state_.notificationsDropped);
    if (state_.recordsUntested > 0)
        lines << tr("Messages not tested by the rules (too many waiting): %1").arg(state_.recordsUntested);
    return lines.join(QLatin1Char('\n'));
}

void RulesWindow::showState(const RulesState& state)
{
    state_ = state;
    // Only the numbers change: the rule being edited stays as it is.
    for (int row = 0; row < rules_.size() && row < table_->rowCount(); ++row) {
        const RuleCounter* counter = counterOf(state_, rules_[row].name);
        const qint64 numbers[] = {counter ? counter->matched : 0, counter ? counter->fired : 0,
                                  counter ? counter->held : 0};
        for (int column = Matched; column <= Held; ++column) {
            if (QTableWidgetItem* item = table_->item(row, column))
                item->setText(QString::number(numbers[column - Matched]));
        }
    }
    status_->setText(statusText());
}

void RulesWindow::showNote(const QString& text)
{
    note_ = text;
    status_->setText(statusText());
}

void RulesWindow::showRule(int row)
{
    const Rule rule = row >= 0 && row < rules_.size() ? rules_[row] : Rule();
    name_->setText(rule.name);
    enabled_->setChecked(rule.enabled);
    cooldown_->setValue(rule.cooldownSeconds);
    severity_->setCurrentIndex(qMax(0, severity_->findData(rule.when.severityMax)));
    facility_->setCurrentIndex(qMax(0, facility_->findData(rule.when.facility)));
    address_->setText(rule.when.address);
    host_->setText(rule.when.host);
    app_->setText(rule.when.app);
    contains_->setText(rule.when.contains);
    caseSensitive_->setChecked(rule.when.caseSensitive);
    regex_->setText(rule.when.regex);
    notify_->setChecked(false);
    runProgram_->clear();
    runArguments_->clear();
    runTimeout_->setValue(RuleAction().timeoutSeconds);
    mail_->clear();
    forward_->clear();
    colour_->clear();
    for (const RuleAction& action : rule.actions) {
        switch (action.kind) {
        case RuleAction::Kind::Notify:
            notify_->setChecked(true);
            break;
        case RuleAction::Kind::Run:
            runProgram_->setText(action.command.value(0));
            {
                QStringList quoted;
                for (const QString& argument : action.command.mid(1))
                    quoted << (argument.contains(QLatin1Char(' ')) ? QLatin1Char('"') + argument + QLatin1Char('"')
                                                                    : argument);
                runArguments_->setText(quoted.join(QLatin1Char(' ')));
            }
            runTimeout_->setValue(action.timeoutSeconds);
            break;
        case RuleAction::Kind::Mail:
            mail_->setText(action.target);
            break;
        case RuleAction::Kind::Forward:
            forward_->setText(action.target);
            break;
        case RuleAction::Kind::Colour:
            colour_->setText(action.target);
            break;
        }
    }
    formFault_->clear();
}

Rule RulesWindow::formRule() const
{
    Rule rule;
    rule.name = name_->text().trimmed();
    rule.enabled = enabled_->isChecked();
    rule.cooldownSeconds = cooldown_->value();
    rule.when.severityMax = severity_->currentData().toInt();
    rule.when.facility = facility_->currentData().toInt();
    rule.when.address = address_->text().trimmed();
    rule.when.host = host_->text().trimmed();
    rule.when.app = app_->text().trimmed();
    rule.when.contains = contains_->text();
    rule.when.caseSensitive = caseSensitive_->isChecked();
    rule.when.regex = regex_->text();
    if (notify_->isChecked())
        rule.actions << RuleAction{RuleAction::Kind::Notify, {}, RuleAction().timeoutSeconds, {}};
    if (!runProgram_->text().trimmed().isEmpty()) {
        RuleAction run{RuleAction::Kind::Run, {runProgram_->text().trimmed()}, runTimeout_->value(), {}};
        run.command << QProcess::splitCommand(runArguments_->text());
        rule.actions << run;
    }
    if (!mail_->text().trimmed().isEmpty())
        rule.actions << RuleAction{RuleAction::Kind::Mail, {}, RuleAction().timeoutSeconds, mail_->text().trimmed()};
    if (!forward_->text().trimmed().isEmpty())
        rule.actions << RuleAction{RuleAction::Kind::Forward, {}, RuleAction().timeoutSeconds,
                                   forward_->text().trimmed()};
    if (!colour_->text().trimmed().isEmpty())
        rule.actions << RuleAction{RuleAction::Kind::Colour, {}, RuleAction().timeoutSeconds,
                                   colour_->text().trimmed()};
    return rule;
}

bool RulesWindow::applyForm()
{
    const int row = table_->currentRow();
    if (row < 0 || row >= rules_.size()) {
        formFault_->setText(tr("Choose a rule or add one first."));
        return false;
    }
    const Rule rule = formRule();
    // The file's own reading says what is wrong with the rule.
    const ParsedRules parsed = RuleSet::parse(RuleSet::serialize({rule}));
    if (!parsed.ok() || parsed.rules.size() != 1) {
        formFault_->setText(parsed.fileFault.isEmpty() && !parsed.faults.isEmpty() ? parsed.faults.first().reason
                                                                                    : parsed.fileFault);
        return false;
    }
    for (int other = 0; other < rules_.size(); ++other) {
        if (other != row && rules_[other].name == rule.name) {
            formFault_->setText(tr("Another rule is named \"%1\".").arg(rule.name));
            return false;
        }
    }
    rules_[row] = parsed.rules.first();
    formFault_->clear();
    fillTable();
    return true;
}

void RulesWindow::addRule()
{
    Rule rule;
    QString name = tr("new rule");
    for (int number = 2; std::any_of(rules_.cbegin(), rules_.cend(), [&](const Rule& r) { return r.name == name; });
         ++number)
        name = tr("new rule %1").arg(number);
    rule.name = name;
    rule.actions << RuleAction{RuleAction::Kind::Notify, {}, RuleAction().timeoutSeconds, {}};
    rules_ << rule;
    fillTable();
    table_->setCurrentCell(int(rules_.size()) - 1, Name);
    showRule(int(rules_.size()) - 1);
    name_->setFocus();
    name_->selectAll();
}

void RulesWindow::deleteRule()
{
    const int row = table_->currentRow();
    if (row < 0 || row >= rules_.size())
        return;
    rules_.removeAt(row);
    fillTable();
    showRule(table_->currentRow());
}

void RulesWindow::setRuleEnabled(int row, bool enabled)
{
    if (row < 0 || row >= rules_.size())
        return;
    rules_[row].enabled = enabled;
    // The row's items stay: this may run inside the change of its check box.
    filling_ = true;
    if (QTableWidgetItem* on = table_->item(row, On))
        on->setCheckState(enabled ? Qt::Checked : Qt::Unchecked);
    if (QTableWidgetItem* name = table_->item(row, Name))
        name->setToolTip(RuleSet::describe(rules_[row]));
    filling_ = false;
    if (row == table_->currentRow())
        enabled_->setChecked(enabled);
}

bool RulesWindow::save()
{
    const Result<> written = RulesFile::write(path_, rules_);
    if (!written) {
        showNote(tr("Could not write %1: %2").arg(path_, written.error()));
        return false;
    }
    showNote(tr("Saved to %1.").arg(path_));
    return true;
}

QString RulesWindow::testMessage()
{
    const QString text = withoutTrailingLineEnds(sample_->toPlainText()).toString();
    const QDateTime now = QDateTime::currentDateTime();
    // The record the intake would make of this line from this sender.
    const LogRecord record{now.toString(QLatin1String(kTimeFormat)), sampleAddress_->text().trimmed(),
                           trimmedMessage(text), readFields(text, now)};
    QStringList lines;
    for (const Rule& rule : rules_) {
        const bool matches = RuleMatcher(rule.when).matches(record);
        lines << (matches ? tr("%1: matches").arg(rule.name) : tr("%1: does not match").arg(rule.name));
    }
    if (lines.isEmpty())
        lines << tr("There are no rules.");
    const QString result = lines.join(QLatin1Char('\n'));
    testResult_->setText(result);
    return result;
}

void RulesWindow::chooseColour()
{
    const QColor chosen = QColorDialog::getColor(QColor(colour_->text().trimmed()), this, tr("Line colour"));
    if (chosen.isValid())
        colour_->setText(chosen.name());
}
