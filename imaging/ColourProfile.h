#pragma once

#include <QByteArray>
#include <QColorSpace>

// The colour space a picture file declares, read from its own bytes: the
// decoders give pixels, this gives what those pixels mean, so that a save can
// carry it on and the canvas can show the colours the photographer saw.
namespace ColourProfile {

// For a PNG: its iCCP profile, or sRGB for an sRGB chunk; for a JPEG: its
// ICC_PROFILE segments joined. Invalid for any other file, a grey one (our
// results are RGB, where a grey profile does not apply), one without a
// profile, or a profile that is damaged or that Qt cannot read.
QColorSpace ofFile(const QByteArray& data);

} // namespace ColourProfile
