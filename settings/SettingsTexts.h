#pragma once

#include <QString>

// Names of the stored values and the texts the settings commands show. These
// texts are Chinese in both language modes.
namespace settingstexts {

inline QString portValueName() { return QStringLiteral("port"); }
inline QString filterValueName() { return QStringLiteral("msgfilter"); }
inline QString keepDaysValueName() { return QStringLiteral("keepdays"); }
inline QString tcpValueName() { return QStringLiteral("tcp"); }
inline QString tcpPerAddressValueName() { return QStringLiteral("tcpperaddress"); }
inline QString forwardValueName() { return QStringLiteral("forward"); }
inline QString minSeverityValueName() { return QStringLiteral("minseverity"); }
inline QString tlsCertificateValueName() { return QStringLiteral("tlscert"); }
inline QString tlsKeyValueName() { return QStringLiteral("tlskey"); }
inline QString tlsAuthorityValueName() { return QStringLiteral("tlsca"); }
inline QString tlsPortValueName() { return QStringLiteral("tlsport"); }
// The mail server of the rules' mail actions.
inline QString smtpHostValueName() { return QStringLiteral("smtphost"); }
inline QString smtpPortValueName() { return QStringLiteral("smtpport"); }
inline QString smtpSecurityValueName() { return QStringLiteral("smtpsecurity"); }
inline QString smtpUserValueName() { return QStringLiteral("smtpuser"); }
inline QString smtpPasswordValueName() { return QStringLiteral("smtppassword"); }
inline QString smtpFromValueName() { return QStringLiteral("smtpfrom"); }

inline QString defaultPortText() { return QStringLiteral("514"); }

inline QString portPrompt() { return QStringLiteral("修改服务端口"); }
inline QString portPromptCaption() { return QStringLiteral("输入框"); }
inline QString portChangeCancelled() { return QStringLiteral("已取消修改端口！"); }
inline QString portInvalid() { return QStringLiteral("输入端口不合法，请重新输入！"); }
// Shown after the port text, with nothing between them.
inline QString portBusySuffix() { return QStringLiteral("端口已被占用，请按F2修改服务端口！"); }
inline QString storeWriteFailed() { return QStringLiteral("创建注册表键值失败，请检查是否已允许本程序写注册表！"); }

} // namespace settingstexts
