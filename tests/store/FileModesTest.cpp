// Files holding records are made without any access for others, whatever
// writes them first.
#include "platform/AppendFile.h"
#include "platform/SqliteEngine.h"
#include "store/Compaction.h"
#include "store/LogDatabase.h"
#include "store/SearchIndex.h"
#include "store/SharedWriter.h"
#include "tests/support/Fakes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

mode_t modeOf(const QString& path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

} // namespace

TEST(FileModes, TheDatabaseItsLogFilesTheRecoveryFileAndACompactedCopyGiveOthersNothing)
{
    const mode_t savedMask = ::umask(022);
    // A directory of the user's own; one shared with its group, as the service's is.
    for (const auto& [dirMode, expected] : {std::pair<mode_t, mode_t>{0755, 0640}, {02770, 0660}}) {
        QTemporaryDir dir;
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), dirMode), 0);
        FakeClock clock;
        SqliteEngine engine{50};
        LogDatabase database(engine, dir.path(), clock);
        database.ensureFileAndTodayTable();
        SharedWriter writer(engine, database.path(), clock);
        ASSERT_TRUE(writer.reopen());
        writer.append(LogRecord{QStringLiteral("2026-12-06 13:45:10"), QStringLiteral("10.0.0.1"),
                                QStringLiteral("info: kept")});
        const QString recoveryLog = QDir(dir.path()).filePath(QStringLiteral("syslog_recovery.log"));
        ASSERT_TRUE(appendToRegularFile(recoveryLog, "a line\r\n"));

        for (const char* suffix : {"", "-wal", "-shm"})
            EXPECT_EQ(modeOf(database.path() + QLatin1String(suffix)), expected) << suffix << " in " << dirMode;
        EXPECT_EQ(modeOf(recoveryLog), expected);
        SearchIndex{dir.path(), SearchIndex::Mode::Write};
        EXPECT_EQ(modeOf(SearchIndex::pathIn(dir.path())), expected);

        writer.close();
        // Free pages, so that the compacted copy replaces the file.
        engine.open(database.path())->execute(QStringLiteral("CREATE TABLE filler AS SELECT zeroblob(200000) AS x; "
                                                             "DROP TABLE filler"));
        const Result<Compacted> compacted = compactDatabaseFile(engine, database.path(), dir.path());
        ASSERT_TRUE(compacted) << compacted.error().toStdString();
        ASSERT_EQ(*compacted, Compacted::Replaced);
        EXPECT_EQ(modeOf(database.path()), expected);
    }

    // A umask that keeps the group out keeps it out of a shared directory too.
    ::umask(077);
    QTemporaryDir shared;
    ASSERT_EQ(::chmod(QFile::encodeName(shared.path()).constData(), 02770), 0);
    const QString privateLog = QDir(shared.path()).filePath(QStringLiteral("syslog_recovery.log"));
    ASSERT_TRUE(appendToRegularFile(privateLog, "a line\r\n"));
    EXPECT_EQ(modeOf(privateLog), mode_t(0600));
    ::umask(savedMask);
}
