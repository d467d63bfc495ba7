// The result every product procedure hands back to the run.
#pragma once

#include <cstdint>

using TUpdateOutcome = std::uint8_t;

// The run turns these into the closing line of the report.
inline constexpr TUpdateOutcome uoNothing = 0; // no procedure ran
inline constexpr TUpdateOutcome uoSuccess = 1;
inline constexpr TUpdateOutcome uoFailure = 2;
inline constexpr TUpdateOutcome uoNotDone = 3; // the user declined an older or the same version
inline constexpr TUpdateOutcome uoWarnings = 4; // done, but some print lists or listed files were not
