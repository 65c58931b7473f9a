#pragma once
// Message texts of the dataset components, by their resource numbers.
#include <string>

constexpr int SAutoSessionExclusive = 65248;
constexpr int SAutoSessionExists = 65249;
constexpr int SHandleError = 65250;
constexpr int SUnknownFieldTypeMsg = 65251;
constexpr int SUnsupportedFieldType = 65252;
constexpr int SNoSQLStatement = 65253;
constexpr int SNoParameterValue = 65254;
constexpr int SNoTableName = 65255;
constexpr int SDuplicateDatabaseName = 65271;
constexpr int SDuplicateSessionName = 65272;
constexpr int SInvalidSessionName = 65273;
constexpr int SDatabaseNameMissing = 65274;
constexpr int SInvalidDatabaseName = 65275;
constexpr int SSessionNameMissing = 65276;
constexpr int SDatabaseOpen = 65277;
constexpr int SSessionActive = 65278;
constexpr int SAutoSessionActive = 65279;

// The text of a message number; empty for a number that is not one of them.
std::string ComponentMessage(int id);
