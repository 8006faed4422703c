// DATA statement and the observation store.
#pragma once

constexpr int DATA_RECORD_MAX = 2000;        // characters of one record buffer
constexpr int DATA_MESSAGE_LIMIT = 9;        // data messages reported per analysis

// Observation i, input variable j is observations[i * inputVariableCount + j].
extern double* observations;
extern int observationCount;
extern int observationCapacity;              // rows the store can hold

void compileData();
double readDataNumber(const char** cursor, long recordNumber);
void freeObservations();
