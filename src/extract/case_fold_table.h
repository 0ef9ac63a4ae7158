// What exFAT folds, as a table over the Basic Multilingual Plane (outside it exFAT folds
// nothing). The data is case_fold_table.cpp, written by tools/casefold/make_fold_table.py.
#ifndef SFX_EXTRACT_CASE_FOLD_TABLE_H_
#define SFX_EXTRACT_CASE_FOLD_TABLE_H_

#include <cstdint>

// Code point c folds to c + caseFoldDeltas[caseFoldRowOfBlock[c >> 7]][c & 127].
extern const uint8_t caseFoldRowOfBlock[512];
extern const int16_t caseFoldDeltas[][128];

#endif  // SFX_EXTRACT_CASE_FOLD_TABLE_H_
