#include "platform/ui/QtDesktop.h"
#include "platform/ui/QtDialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QInputDialog>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>

namespace {

// Runs an action on the modal box once it is open, from inside its event loop.
template <typename Box>
void whenOpen(std::function<void(Box*)> action)
{
    QTimer::singleShot(0, [action] {
        auto* box = qobject_cast<Box*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        action(box);
    });
}

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    qsizetype buttons = 0;
};

SeenBox openAndDismiss(const std::function<void(QtDialogs&)>& show)
{
    SeenBox seen;
    whenOpen<QMessageBox>([&seen](QMessageBox* box) {
        seen = {box->windowTitle(), box->text(), box->icon(), box->buttons().size()};
        box->button(QMessageBox::Ok)->click();
    });
    QtDialogs dialogs;
    show(dialogs);
    return seen;
}

} // namespace

TEST(QtDialogsTest, MessageAndWarningCarryTheTitleAndOneOkButton)
{
    const SeenBox message = openAndDismiss([](QtDialogs& d) { d.message(QStringLiteral("已取消修改端口！")); });
    EXPECT_EQ(message.title, QStringLiteral("凯维"));
    EXPECT_EQ(message.text, QStringLiteral("已取消修改端口！"));
    EXPECT_EQ(message.icon, QMessageBox::NoIcon);
    EXPECT_EQ(message.buttons, 1);

    const SeenBox warning = openAndDismiss([](QtDialogs& d) { d.warning(QStringLiteral("careful")); });
    EXPECT_EQ(warning.title, QStringLiteral("凯维"));
    EXPECT_EQ(warning.icon, QMessageBox::Warning);
    EXPECT_EQ(warning.buttons, 1);
}

TEST(QtDialogsTest, PromptGivesTheTypedTextOnOkAndEmptyTextOnCancel)
{
    QtDialogs dialogs;
    QString caption, label, shownDefault;
    whenOpen<QInputDialog>([&](QInputDialog* box) {
        caption = box->windowTitle();
        label = box->labelText();
        shownDefault = box->textValue();
        box->setTextValue(QStringLiteral("600"));
        box->accept();
    });
    EXPECT_EQ(dialogs.prompt(QStringLiteral("修改服务端口"), QStringLiteral("输入框"), QStringLiteral("514")),
              QStringLiteral("600"));
    EXPECT_EQ(caption, QStringLiteral("输入框"));
    EXPECT_EQ(label, QStringLiteral("修改服务端口"));
    EXPECT_EQ(shownDefault, QStringLiteral("514"));

    whenOpen<QInputDialog>([](QInputDialog* box) { box->reject(); });
    EXPECT_EQ(dialogs.prompt(QStringLiteral("修改服务端口"), QStringLiteral("输入框"), QStringLiteral("514")), QString());
}

TEST(QtClipboardTest, ReplacesTheClipboardText)
{
    QtClipboard clipboard;
    clipboard.setText(QStringLiteral("first"));
    clipboard.setText(QStringLiteral("2026-12-06 13:45:10 IP:10.0.0.1 message"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("2026-12-06 13:45:10 IP:10.0.0.1 message"));
}
