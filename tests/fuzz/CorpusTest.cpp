#include "FuzzEntries.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

// Every seed and every reproducer of a fault the fuzzers found, once through
// its reader, so that a mended fault stays mended without clang.
TEST(FuzzCorpus, EveryFileGoesThroughItsReaderSoundly)
{
    const struct {
        const char* folder;
        const char* (*entry)(const uint8_t*, size_t);
    } readers[] = {{"png", fuzzentry::png},
                   {"jpeg", fuzzentry::jpeg},
                   {"mask", fuzzentry::mask},
                   {"frames", fuzzentry::frames}};
    for (const auto& reader : readers) {
        const QDir dir(
            QStringLiteral(VELTRANE_SOURCE_DIR "/tests/fuzz/corpus/%1").arg(reader.folder));
        const QStringList names = dir.entryList(QDir::Files, QDir::Name);
        EXPECT_FALSE(names.isEmpty()) << reader.folder;
        for (const QString& name : names) {
            QFile file(dir.filePath(name));
            ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << qPrintable(name);
            const QByteArray bytes = file.readAll();
            const char* wrong = reader.entry(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                             size_t(bytes.size()));
            EXPECT_EQ(wrong, nullptr)
                << reader.folder << "/" << qPrintable(name) << ": " << (wrong ? wrong : "");
        }
    }
}
