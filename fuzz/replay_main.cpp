// Replays every file of the given folders (or the given files) through the fuzz target.
#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int runs = 0;
    for (int i = 1; i < argc; ++i) {
        QStringList files;
        QFileInfo info(QString::fromLocal8Bit(argv[i]));
        if (info.isDir()) {
            QDirIterator it(info.filePath(), QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext())
                files << it.next();
        } else if (info.isFile()) {
            files << info.filePath();
        }
        files.sort();
        for (const QString& f : files) {
            QFile file(f);
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray bytes = file.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                   static_cast<size_t>(bytes.size()));
            ++runs;
        }
    }
    // On stderr: the targets send stdout to /dev/null.
    std::fprintf(stderr, "replayed %d inputs\n", runs);
    return 0;
}
