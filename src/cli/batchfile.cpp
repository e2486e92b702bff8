#include "cli/transferjob.h"

#include <QFile>
#include <QStringDecoder>

namespace cli {

bool readBatch(const QString &path, QList<TransferLine> *transfers, QString *error, BatchLines kind)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray bytes = file.readAll();
    // Written in an editor, the file is UTF-8; cut from the world files, it may be Latin-1
    // like them. The names are compared as text either way.
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8(bytes);
    if (utf8.hasError())
        text = QString::fromLatin1(bytes);

    const QList<QString> lines = text.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines.at(i);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.trimmed().startsWith(QLatin1Char('#')))
            continue;
        const QString origin = QStringLiteral("%1:%2").arg(path, QString::number(i + 1));
        // Names are taken exactly as written between the TABs: a character's name may end
        // in a blank.
        const QList<QString> fields = line.split(QLatin1Char('\t'));
        if (kind == BatchLines::Characters) {
            if (fields.size() != 2 || fields.contains(QString())) {
                *error = QStringLiteral("%1: expected source account and character separated "
                                        "by a TAB")
                                 .arg(origin);
                return false;
            }
            transfers->append(
                    TransferLine{ fields.at(0), fields.at(1), QString(), origin, QString() });
            continue;
        }
        if (fields.size() < 3 || fields.size() > 4 || fields.contains(QString())) {
            *error = QStringLiteral("%1: expected source account, character and destination "
                                    "account (and perhaps a new name) separated by TABs")
                             .arg(origin);
            return false;
        }
        transfers->append(
                TransferLine{ fields.at(0), fields.at(1), fields.at(2), origin, fields.value(3) });
    }
    if (transfers->isEmpty()) {
        *error = QStringLiteral("%1 holds no transfer").arg(path);
        return false;
    }
    return true;
}

} // namespace cli
