#include "controlprotocol.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>
#include <array>

namespace control {

namespace {

struct Shape {
    const char *type;
    // A field each message of the type must have, and what it holds; nullptr for none.
    const char *field;
    QJsonValue::Type fieldType;
};

constexpr std::array kShapes{
    Shape{"hello", "protocol_version", QJsonValue::Double},
    Shape{"request", "test", QJsonValue::Object},
    Shape{"accepted", "test", QJsonValue::Object},
    Shape{"refused", "reason", QJsonValue::String},
    Shape{"busy", "reason", QJsonValue::String},
    Shape{"error", "reason", QJsonValue::String},
    Shape{"start", nullptr, QJsonValue::Null},
    Shape{"heartbeat", nullptr, QJsonValue::Null},
    Shape{"interval", "figures", QJsonValue::Object},
    Shape{"done", nullptr, QJsonValue::Null},
    Shape{"result", "summary", QJsonValue::Object},
};

const char *typeName(QJsonValue::Type type)
{
    switch (type) {
    case QJsonValue::Double: return "a number";
    case QJsonValue::Object: return "an object";
    case QJsonValue::String: return "a string";
    default: return "a value";
    }
}

bool looksLikeHttp(const QByteArray &line)
{
    for (const char *method : {"GET ", "POST ", "PUT ", "HEAD ", "DELETE ", "OPTIONS ", "CONNECT ", "PATCH ", "TRACE "}) {
        if (line.startsWith(method))
            return true;
    }
    return false;
}

} // namespace

ParsedLine parseControlLine(const QByteArray &raw)
{
    ParsedLine parsed;
    if (raw.size() > kLineLimit) {
        parsed.error = QStringLiteral("a line past %1 KiB").arg(kLineLimit / 1024);
        return parsed;
    }
    QByteArray line = raw;
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (looksLikeHttp(line)) {
        parsed.error = QStringLiteral("an HTTP request: this port speaks zunstream's control protocol");
        return parsed;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError) {
        parsed.error = QStringLiteral("not JSON (%1 at byte %2)").arg(error.errorString()).arg(error.offset);
        return parsed;
    }
    if (!document.isObject()) {
        parsed.error = QStringLiteral("not a JSON object");
        return parsed;
    }
    const QJsonObject object = document.object();
    const QJsonValue type = object.value(QLatin1String("type"));
    if (!type.isString()) {
        parsed.error = QStringLiteral("field 'type': missing or not a string");
        return parsed;
    }
    const QString name = type.toString();
    const auto shape = std::find_if(kShapes.begin(), kShapes.end(),
                                    [&name](const Shape &s) { return name == QLatin1String(s.type); });
    if (shape == kShapes.end()) {
        parsed.error = QStringLiteral("field 'type': unknown message '%1'").arg(name.left(40));
        return parsed;
    }
    if (shape->field && object.value(QLatin1String(shape->field)).type() != shape->fieldType) {
        parsed.error = QStringLiteral("field '%1' of '%2': missing or not %3")
                           .arg(QLatin1String(shape->field), name, QLatin1String(typeName(shape->fieldType)));
        return parsed;
    }
    parsed.message = Message{name, object};
    return parsed;
}

QByteArray lineOf(const QJsonObject &message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
}

QJsonObject message(const QString &type, const QJsonObject &fields)
{
    QJsonObject object = fields;
    object[QStringLiteral("type")] = type;
    return object;
}

} // namespace control
