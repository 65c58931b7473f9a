#pragma once
// Rounding with the framework's rules.
#include <cstdint>

// Round to the nearest integer, ties to even (banker's rounding).
int64_t Round(long double v);
// Toward zero.
int64_t Trunc(long double v);
long double Frac(long double v);
long double Int(long double v);
