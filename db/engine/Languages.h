#pragma once
// The engine's language-driver list: "ANSI Standard" (language 0, plain byte order) and the
// languages of the locale layer, in that layer's order, with their sort-order names.
#include <cstdint>
#include <string>
#include <vector>

// Rows of the list (99).
int32_t LanguageCount();
// The name of a list position; empty outside the list.
std::string LanguageName(int32_t index);
// The language id of a list position; 0 outside the list.
uint16_t LanguageIdAt(int32_t index);

bool IsValidLanguageName(const std::string& name);
// Whether the language (by id) offers the sort-order name (case-insensitive).
bool IsValidSortOrderName(uint16_t languageId, const std::string& name);
// The id of a language name (case-insensitive); 0 when absent.
uint16_t LanguageIDFromName(const std::string& name);
// The sort id of a sort-order name of the language: 0 for "Default Order", 1 for
// "German Phone Book Order", 0 when absent.
uint16_t SortOrderIDFromName(uint16_t languageId, const std::string& name);
// The list position of a language id; -1 when absent.
int32_t LanguageIndexFromID(uint16_t languageId);
// The sort-order names of a list position (empty outside the list).
void GetSortOrderNames(int32_t index, std::vector<std::string>& names);
