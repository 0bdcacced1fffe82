#include "keyproof.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

namespace keyproof {

namespace {

constexpr int kChallengeBytes = 32;
// No key file needs more; a larger one is likely not a key.
constexpr qint64 kLargestKey = 4096;

} // namespace

std::optional<QByteArray> readKey(const QString &path, QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot read the key file %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    QByteArray key = file.read(kLargestKey + 1);
    if (key.size() > kLargestKey) {
        *why = QStringLiteral("the key file %1 is larger than %2 bytes").arg(path).arg(kLargestKey);
        return std::nullopt;
    }
    while (key.endsWith('\n') || key.endsWith('\r'))
        key.chop(1);
    if (key.isEmpty()) {
        *why = QStringLiteral("the key file %1 is empty").arg(path);
        return std::nullopt;
    }
    return key;
}

QByteArray challenge()
{
    QByteArray bytes(kChallengeBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), kChallengeBytes / 4);
    return bytes.toHex();
}

QByteArray answer(const QByteArray &key, const QByteArray &challenge)
{
    return QMessageAuthenticationCode::hash(challenge, key, QCryptographicHash::Sha256).toHex();
}

bool matches(const QByteArray &key, const QByteArray &challenge, const QByteArray &given)
{
    const QByteArray expected = answer(key, challenge);
    if (given.size() != expected.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < expected.size(); ++i)
        difference |= static_cast<unsigned char>(expected[i] ^ given[i]);
    return difference == 0;
}

} // namespace keyproof
