// The value of a 32-bit float's fewest round-tripping decimal digits, found
// with integer arithmetic: SBF float fields are shown as a person reads them.
#pragma once

namespace sigtap::sbf {

/// The fewest significant digits (1 to 9) that read back to f, of those the
/// nearest to f (a tie to the even last digit), as the 64-bit float they
/// denote (0.1f gives 0.1; 2^90 gives 1.2379401e27, not 1.23794004e27, as
/// 1.23794e27 reads back to the float below). NaN gives the quiet NaN;
/// infinities and zeros (-0.0 included) keep their kind.
double shortest_value(float f);

/// The same value, by writing the digits out and reading them back: the
/// reference for shortest_value, and its path for the floats it leaves
/// to the text (subnormals and magnitudes below 1e-35).
double shortest_value_by_text(float f);

}  // namespace sigtap::sbf
