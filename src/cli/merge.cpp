#include "cli/merge.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

#include "cli/exitstatus.h"
#include "cli/terminal.h"
#include "transfer/merge.h"

namespace cli {

namespace {

QString plural(qint64 count, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(count).arg(QLatin1String(count == 1 ? one : many));
}

QString range(const transfer::NumberRange &numbers)
{
    if (numbers.isEmpty())
        return QStringLiteral("none");
    if (numbers.first == numbers.last)
        return QString::number(numbers.first);
    return QStringLiteral("%1 to %2").arg(numbers.first).arg(numbers.last);
}

QJsonValue rangeJson(const transfer::NumberRange &numbers)
{
    if (numbers.isEmpty())
        return QJsonValue::Null;
    return QJsonObject{ { QStringLiteral("first"), double(numbers.first) },
        { QStringLiteral("last"), double(numbers.last) } };
}

QString resultName(transfer::MergeResult result)
{
    switch (result) {
    case transfer::MergeResult::Done:
        return QStringLiteral("done");
    case transfer::MergeResult::Refused:
        return QStringLiteral("refused");
    case transfer::MergeResult::Failed:
        return QStringLiteral("failed");
    case transfer::MergeResult::FailedNotRestored:
        return QStringLiteral("failed-not-restored");
    case transfer::MergeResult::Unreadable:
        return QStringLiteral("unreadable");
    }
    return QString();
}

int exitStatus(transfer::MergeResult result)
{
    switch (result) {
    case transfer::MergeResult::Done:
        return ExitDone;
    case transfer::MergeResult::Refused:
        return ExitRefused;
    case transfer::MergeResult::Failed:
        return ExitRestored;
    case transfer::MergeResult::FailedNotRestored:
        return ExitNotRestored;
    case transfer::MergeResult::Unreadable:
        return ExitUnreadable;
    }
    return ExitRefused;
}

QJsonDocument toJson(const MergeJob &job, const transfer::MergeOutcome &outcome)
{
    const transfer::MergePlan &plan = outcome.plan;
    QJsonArray accounts;
    int created = 0;
    for (const transfer::MergedAccount &account : plan.accounts) {
        created += account.created ? 1 : 0;
        QJsonArray characters;
        for (const transfer::MergedCharacter &character : account.characters) {
            characters.append(QJsonObject{ { QStringLiteral("name"), character.name },
                    { QStringLiteral("record"), character.section },
                    { QStringLiteral("serial"), character.serial },
                    { QStringLiteral("items"), character.items },
                    { QStringLiteral("itemsLeftBehind"), character.leftBehind } });
        }
        accounts.append(QJsonObject{ { QStringLiteral("name"), account.name },
                { QStringLiteral("sourceRecord"), account.sourceNumber },
                { QStringLiteral("record"), account.number },
                { QStringLiteral("created"), account.created },
                { QStringLiteral("characters"), characters } });
    }
    QJsonObject root{ { QStringLiteral("source"), job.from },
        { QStringLiteral("destination"), job.to }, { QStringLiteral("dryRun"), job.dryRun },
        { QStringLiteral("result"), resultName(outcome.result) },
        { QStringLiteral("message"), outcome.message },
        { QStringLiteral("conflicts"), QJsonArray::fromStringList(plan.conflicts) },
        { QStringLiteral("accounts"), accounts },
        { QStringLiteral("totals"),
                QJsonObject{ { QStringLiteral("accounts"), int(plan.accounts.size()) },
                        { QStringLiteral("created"), created },
                        { QStringLiteral("joined"), int(plan.accounts.size()) - created },
                        { QStringLiteral("characters"), plan.characters },
                        { QStringLiteral("items"), plan.items },
                        { QStringLiteral("itemsLeftBehind"), plan.itemsLeftBehind } } },
        { QStringLiteral("numbers"),
                QJsonObject{ { QStringLiteral("accountRecords"), rangeJson(plan.accountRecords) },
                        { QStringLiteral("characterRecords"), rangeJson(plan.characterRecords) },
                        { QStringLiteral("characterSerials"), rangeJson(plan.characterSerials) },
                        { QStringLiteral("itemRecords"), rangeJson(plan.itemRecords) },
                        { QStringLiteral("itemSerials"), rangeJson(plan.itemSerials) } } } };
    if (!outcome.recovery.isEmpty())
        root.insert(QStringLiteral("recovered"), outcome.recovery);
    return QJsonDocument(root);
}

} // namespace

int runMerge(const MergeJob &job, Output &out, TerminalProgress &progress)
{
    const transfer::MergeRequest request{ job.from, job.to, job.accounts, job.joinExisting,
        job.withoutItems };
    const transfer::MergeOutcome outcome = transfer::runMerge(request, progress, job.dryRun);
    progress.clear();
    if (!outcome.recovery.isEmpty())
        std::fprintf(stderr, "chartransfer-cli: Interrupted Transfer: %s\n",
                qPrintable(outcome.recovery));

    if (job.json) {
        out.bytes(toJson(job, outcome).toJson(QJsonDocument::Indented));
        out.flush();
        return exitStatus(outcome.result);
    }

    const transfer::MergePlan &plan = outcome.plan;
    if (outcome.result == transfer::MergeResult::Done) {
        int created = 0;
        for (const transfer::MergedAccount &account : plan.accounts) {
            created += account.created ? 1 : 0;
            // The plan in full on a dry run; a merge that was done only sums it up.
            if (!job.dryRun)
                continue;
            out.line(account.created
                            ? QStringLiteral("account %1: created as record %2 (source record %3)")
                                      .arg(account.name)
                                      .arg(account.number)
                                      .arg(account.sourceNumber)
                            : QStringLiteral("account %1: joined, record %2 (source record %3)")
                                      .arg(account.name)
                                      .arg(account.number)
                                      .arg(account.sourceNumber));
            for (const transfer::MergedCharacter &character : account.characters) {
                out.line(QStringLiteral("    %1: record %2, serial %3; %4 moved, %5 left behind")
                                 .arg(character.name)
                                 .arg(character.section)
                                 .arg(character.serial)
                                 .arg(plural(character.items, "item", "items"))
                                 .arg(character.leftBehind));
            }
        }
        if (job.dryRun) {
            out.line(QStringLiteral("new numbers: account records %1; character records %2, "
                                    "serials %3; item records %4, serials %5")
                             .arg(range(plan.accountRecords), range(plan.characterRecords),
                                     range(plan.characterSerials), range(plan.itemRecords),
                                     range(plan.itemSerials)));
        }
        out.line(QStringLiteral("%1 -> %2: %3 %4 (%5 created, %6 joined), %7, %8 moved, %9 "
                                "left behind")
                         .arg(job.from, job.to,
                                 job.dryRun ? QStringLiteral("would merge")
                                            : QStringLiteral("merged"),
                                 plural(plan.accounts.size(), "account", "accounts"))
                         .arg(created)
                         .arg(plan.accounts.size() - created)
                         .arg(plural(plan.characters, "character", "characters"),
                                 plural(plan.items, "item", "items"))
                         .arg(plan.itemsLeftBehind));
        out.flush();
        return ExitDone;
    }

    out.flush();
    QString text = QStringLiteral("chartransfer-cli: %1").arg(outcome.message);
    for (const QString &conflict : plan.conflicts)
        text += QStringLiteral("\n  %1").arg(conflict);
    std::fprintf(stderr, "%s\n", qPrintable(text));
    return exitStatus(outcome.result);
}

} // namespace cli
