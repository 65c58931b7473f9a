#pragma once
// Start and finish of the database units for a program that links them: the start runs
// in dependency order before the program's own start, the finish in reverse order after
// its message loop ended.

// The table engine's critical section and its language-driver table, then the dataset
// components' session list with the session "Default".
void StartDatabaseUnits();
// The session list and every session go; deactivating "Default" finishes the engine.
void FinishDatabaseUnits();
