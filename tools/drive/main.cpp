// veltrane-drive: runs a scenario script against a real canvas, headless or in
// a window. Usage: veltrane-drive [SCRIPT]; without a script, standard input.
#include "Driver.h"
#include "LineReader.h"
#include "platform/Allocator.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    Allocator::tuneForPictures();
    QApplication app(argc, argv);
    std::FILE* input = stdin;
    if (argc > 1) {
        input = std::fopen(argv[1], "r");
        if (!input) {
            std::fprintf(stderr, "error: 0: cannot open %s\n", argv[1]);
            return 2;
        }
    }
    Driver driver;
    int number = 0;
    // Each line runs as soon as it arrives, so another program can drive the
    // canvas line by line through a pipe; between lines the event loop runs,
    // so a window on a real display takes real input meanwhile.
    LineReader reader(
        input,
        [&](const QString& line) {
            ++number;
            QString error;
            if (!driver.run(line, &error)) {
                std::fflush(stdout);
                std::fprintf(stderr, "error: %d: %s\n", number, error.toUtf8().constData());
                std::fflush(stderr);
                app.exit(2);
                return false;
            }
            std::fflush(stdout);
            return true;
        },
        [&] { app.quit(); });
    reader.start();
    return app.exec();
}
