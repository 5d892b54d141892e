#pragma once

#include "rules/Rule.h"
#include "rules/RuleEngine.h"

#include <QWidget>
#include <functional>

class QCheckBox;
class QListWidgetItem;
class RuleColours;
struct LogRecord;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;

// Gives a list line of the record the colour of the first enabled rule with a
// colour that matches the record (drawn by LogLineDelegate ahead of the
// severity's colour); a line no such rule matches is left as it is.
void setRuleColour(QListWidgetItem& line, const LogRecord& record, const RuleColours& colours);

// The Rules window: the rules of rules.json with how often each matched and
// fired since the receiver started, a form to add, change, enable and delete
// them, a test of every rule against a pasted syslog line, and Save, which
// writes the file (the receiver reads it again by itself). The counters come
// from the receiver's state (showState), never asked for and waited on here.
class RulesWindow : public QWidget {
    Q_OBJECT
public:
    // path: the rules file, read now.
    explicit RulesWindow(QString path, QWidget* parent = nullptr);

    // The receiver's latest state: counters and faults of its reading.
    void showState(const RulesState& state);
    // A note shown on the window's status line (e.g. that there is no system tray).
    void showNote(const QString& text);
    // Asked for by the Reload button: the receiver should read the file again.
    std::function<void()> onReload;

    // Commands, also reachable from tests.
    void addRule();
    void deleteRule();
    // Puts the form's rule in place of the chosen one; false (with the fault
    // shown) when the form does not make a valid rule.
    bool applyForm();
    // Writes the rules to the file; false (with the reason shown) when it cannot.
    bool save();
    void setRuleEnabled(int row, bool enabled);
    // Tests every rule against the pasted line; the result is shown and returned, one line per rule.
    QString testMessage();

    const QList<Rule>& rules() const { return rules_; }
    QString statusText() const;

private:
    void buildControls();
    void fillTable();
    void showRule(int row);
    Rule formRule() const;
    void chooseColour();

    QString path_;
    QList<Rule> rules_;
    RulesState state_;
    QString note_;
    bool filling_ = false;

    QTableWidget* table_ = nullptr;
    QLineEdit* name_ = nullptr;
    QCheckBox* enabled_ = nullptr;
    QSpinBox* cooldown_ = nullptr;
    QComboBox* severity_ = nullptr;
    QComboBox* facility_ = nullptr;
    QLineEdit* address_ = nullptr;
    QLineEdit* host_ = nullptr;
    QLineEdit* app_ = nullptr;
    QLineEdit* contains_ = nullptr;
    QCheckBox* caseSensitive_ = nullptr;
    QLineEdit* regex_ = nullptr;
    QCheckBox* notify_ = nullptr;
    QLineEdit* runProgram_ = nullptr;
    QLineEdit* runArguments_ = nullptr;
    QSpinBox* runTimeout_ = nullptr;
    QLineEdit* mail_ = nullptr;
    QLineEdit* forward_ = nullptr;
    QLineEdit* colour_ = nullptr;
    QPushButton* colourButton_ = nullptr;
    QLabel* formFault_ = nullptr;
    QPlainTextEdit* sample_ = nullptr;
    QLineEdit* sampleAddress_ = nullptr;
    QLabel* testResult_ = nullptr;
    QLabel* status_ = nullptr;
};
