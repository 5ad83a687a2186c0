// What a triangle file holds, from one streaming pass: counts, the box and record checks.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "io/record_reader.h"
#include "quarnel_mesh/util/progress.h"

struct MeshSummary {
    int64_t fileBytes = 0;
    int64_t triangleCount = 0;
    int64_t finiteVertexCount = 0;     // vertices whose three coordinates are finite
    int64_t nonFiniteVertexCount = 0;  // the others, left out of the box
    Vec3f boxMin = {0.0f, 0.0f, 0.0f}; // over the finite vertices; meaningless when there are none
    Vec3f boxMax = {0.0f, 0.0f, 0.0f};
    int64_t standardColorCount = 0;    // records whose colour is kTriangleColor bit for bit
    int64_t repeatedVertexCount = 0;   // records with two equal vertices (see sameVertex)
    double smallestMagnitude = HUGE_VAL;  // least non-zero |coordinate| of the finite vertices
};

// The summary before any record of `reader`, and then `count` more records added to it: for a
// pass that summarises while it does other work (summariseMesh is both over the whole file).
void startSummary(const RecordReader& reader, MeshSummary& summary);
void addRecordsToSummary(MeshSummary& summary, const TriangleRecord* records, int64_t count);

// Reads every record of an open file from the start. False with `error` set when a read fails or
// a stop was requested (stopWasRequested).
bool summariseMesh(RecordReader& reader, MeshSummary& summary, Progress& progress,
                   std::string& error);
