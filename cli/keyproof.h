#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// A shared key proved without sending it: the server sends a random challenge, the client
// answers with HMAC-SHA256(key, challenge), and the server compares in constant time.
namespace keyproof {

// The key in FILE: its bytes, without a trailing newline; empty with *why set when it cannot
// be read or is empty.
std::optional<QByteArray> readKey(const QString &path, QString *why);
// 32 random bytes, hex.
QByteArray challenge();
// Hex of HMAC-SHA256(key, challenge).
QByteArray answer(const QByteArray &key, const QByteArray &challenge);
// Whether `given` is the answer, in time that does not depend on where they differ.
bool matches(const QByteArray &key, const QByteArray &challenge, const QByteArray &given);

} // namespace keyproof
