#pragma once

#include <QString>

// What a picture decoder reports besides the picture itself.
struct DecodeNotes {
    // Why no picture came out: a sentence for the user.
    QString error;
    // Set when a picture came out but only part of it could be read (the rest
    // is filled in): a sentence for the user.
    QString warning;
    // The data stops short of the whole picture, as a file that another
    // program is still writing does; worth reading again a little later.
    bool endsEarly = false;
};
