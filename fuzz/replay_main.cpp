// Runs a fuzz target over files and folders of inputs, without libFuzzer: every corpus is replayed
// this way as an ordinary test in every build. A failed property aborts, which fails the test.

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

#include "fuzz_support.h"

namespace {

bool replayFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return false;
    }
    const QByteArray input = file.readAll();
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.constData()),
                           static_cast<size_t>(input.size()));
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const QString path = QString::fromLocal8Bit(argv[i]);
        QStringList files;
        if (QFileInfo(path).isDir()) {
            const QDir dir(path);
            for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
                files.append(dir.filePath(name));
            }
        } else {
            files.append(path);
        }
        for (const QString& file : files) {
            if (!replayFile(file)) {
                return 1;
            }
            ++replayed;
        }
    }
    std::printf("replayed %d inputs\n", replayed);
    // An empty corpus would make this test pass without checking anything.
    return replayed > 0 ? 0 : 1;
}
