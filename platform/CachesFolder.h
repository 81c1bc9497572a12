#pragma once

#include <QString>

// The per-user caches folder ($XDG_CACHE_HOME, else ~/.cache). Never empty.
namespace CachesFolder {
QString path();
}
