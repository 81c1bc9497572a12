#include "platform/Allocator.h"

#include <QApplication>

int main(int argc, char** argv)
{
    Allocator::tuneForPictures();
    QApplication app(argc, argv);
    return 0;
}
