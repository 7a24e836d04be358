#include "app/Settings.h"

namespace app {

Settings& TheSettings() {
    static Settings settings;
    return settings;
}

}  // namespace app
