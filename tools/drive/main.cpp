// veltrane-drive: runs a scenario script against a real canvas, headless or in
// a window. Usage: veltrane-drive [SCRIPT]; without a script, standard input.
#include "Driver.h"
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
    char* buffer = nullptr;
    size_t capacity = 0;
    int number = 0;
    // Each line runs as soon as it arrives, so another program can drive the
    // canvas line by line through a pipe.
    while (getline(&buffer, &capacity, input) >= 0) {
        ++number;
        QString error;
        if (!driver.run(QString::fromUtf8(buffer), &error)) {
            std::fprintf(stderr, "error: %d: %s\n", number, error.toUtf8().constData());
            std::free(buffer);
            return 2;
        }
        std::fflush(stdout);
    }
    std::free(buffer);
    return 0;
}
