// DATA statement and the observation store.
#pragma once

#include <string>
#include <vector>

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

// One data set of a batch that fits the program to many: a data file in place of the
// DATA statement's, or the records of one group. Set before the compile; null (the
// default) reads the data as the program says.
struct DataSelection {
    std::string file;           // replaces the file of DATA "name"; empty: the statement's own
    const std::string* contents = nullptr;  // the bytes of that file, held in memory (a group's records), or null
    std::string groupColumn;    // a column of the name line, or a field number from 1; empty: every record
    std::string groupText;      // only the records with this text in groupColumn are read
    bool listGroups = false;    // read every record and list the group texts (dataGroups)
};
void dataSetSelection(const DataSelection* selection);
// The texts of groupColumn in the order of their first records, after a compile with
// listGroups set.
const std::vector<std::string>& dataGroups();
// The records of each group (dataGroups order) as a data file of its own: the lines
// DATASKIP skips (blank), the name line, and the group's records, each ended by '\n'.
// The reader's copies are handed over, not kept.
std::vector<std::string> dataTakeGroupFiles();
// True when the last DATA statement read inline data.
bool dataWasInline();

// Called every 100 records while data are read, and once with finished set at the end,
// so that the interface can show progress and stay responsive. Returning false (while
// not finished) cancels the reading: the compile then fails with a message.
typedef bool (*DataProgressHook)(int recordsRead, bool finished);
void dataSetProgressHook(DataProgressHook hook);
