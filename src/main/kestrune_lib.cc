// kestrune_lib: the companion library shipped beside the program. It exports no functions
// and carries no behaviour; nothing in the program loads it. It exists so that installers
// and controllers that expect the file find it.

namespace kestrune {
// A translation unit must declare something; this has internal linkage and is never used.
namespace {
[[maybe_unused]] constexpr int kNothing = 0;
}  // namespace
}  // namespace kestrune
