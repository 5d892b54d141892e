#pragma once

#include "intake/FilteredMessages.h"

#include <QWidget>

class ExtentListWidget;

// The window "被过滤的信息": the rejected datagrams of the filtered-message
// buffer's current generation, oldest first, one log line each. While it is
// open (isOpen()), its owner keeps it current through refreshView().
// It may be deleted on close; a window that is only hidden rebuilds its list
// when it is shown again.
class FilteredMessagesWindow : public QWidget {
    Q_OBJECT
public:
    explicit FilteredMessagesWindow(FilteredMessageBuffer& buffer, QWidget* parent = nullptr);

    // Appends what the buffer holds beyond what is listed; empties and
    // refills the list when the buffer has started a new generation.
    void refreshView();

    ExtentListWidget& list() { return *list_; }
    qint32 shownCount() const { return shownCount_; }
    qint32 shownGeneration() const { return shownGeneration_; }
    bool isOpen() const { return loaded_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // The frame arrives after the first layout; its move lays the list out again.
    void moveEvent(QMoveEvent* event) override;

private:
    void startFollowing();
    void stopFollowing();
    void fitListToWindow();
    bool hasNothingNew() const;
    bool needsRefill() const;
    void appendNewEntries();

    FilteredMessageBuffer& buffer_;
    ExtentListWidget* list_;
    bool loaded_ = false;
    qint32 shownCount_ = 0;
    qint32 shownGeneration_ = -1;
};
