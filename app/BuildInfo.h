#pragma once
// What this program was built from. The definitions are written into the
// build tree at every build (cmake/Revision.cmake), so the revision follows
// the checkout without a new configure.
namespace app {

extern const char kBuildVersion[];   // the project's version, such as "2.0.1"
extern const char kBuildRevision[];  // "git describe" of the sources, or "unknown"

}  // namespace app
