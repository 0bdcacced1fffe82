#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// The control connection of `serve` and `test`: TCP, one JSON object a line, each with a
// "type"; the first message each way is "hello" with the protocol version.
namespace control {

constexpr int kProtocolVersion = 1;
// A longer line is refused unread: no peer makes the other end hold more.
constexpr qsizetype kLineLimit = 64 * 1024;

struct Message {
    QString type;
    QJsonObject body; // the whole object, "type" included
};

// One line, without or with its newline: the message, or why it is none, naming the field.
struct ParsedLine {
    std::optional<Message> message;
    QString error;
};
ParsedLine parseControlLine(const QByteArray &line);

// The line of one message, newline included.
QByteArray lineOf(const QJsonObject &message);
// {"type": type} with the fields given.
QJsonObject message(const QString &type, const QJsonObject &fields = {});

} // namespace control
