// DATA statement and the observation store.
#pragma once

#include <string>

constexpr int DATA_RECORD_MAX = 2000;        // first size of the record buffer, which grows for longer records
constexpr int DATA_MESSAGE_LIMIT = 9;        // data messages reported per analysis

// Observation i, input variable j is observations[i * inputVariableCount + j].
extern double* observations;
extern int observationCount;
extern std::string dataFilePath;             // data file of the DATA statement, empty for inline data

void compileData();
// Reads the value of field (1-based) at *cursor and moves the cursor past the field.
// A field that is not one whole number is reported with recordNumber (the record's line)
// and the field, and reads as 0.
double readDataNumber(const char** cursor, long recordNumber, int field);
// Frees the store and restarts the count of reported data messages (before each compile).
void freeObservations();
int dataCapacity();                          // rows the store can hold
// True once a DATA statement has been compiled: its rows are laid out for the input
// variables declared before it, so no more may be declared.
bool dataStatementSeen();

// Called every 100 records while data are read, and once with finished set at the end,
// so that the interface can show progress and stay responsive. Returning false (while
// not finished) cancels the reading: the compile then fails with a message.
typedef bool (*DataProgressHook)(int recordsRead, bool finished);
void dataSetProgressHook(DataProgressHook hook);
