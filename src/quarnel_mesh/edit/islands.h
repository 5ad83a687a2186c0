// Pieces kept or dropped: the small ones (islands), or all but the printable body.
#pragma once

#include <cstdint>

#include "quarnel_mesh/model/indexed_mesh.h"

struct IslandReport {
    int64_t pieceCount = 0;          // before dropping
    int64_t droppedPieceCount = 0;
    int64_t droppedFaceCount = 0;
    int64_t largestPieceFaceCount = 0;
};

// Removes every piece with fewer than `minFaceCount` faces, keeping the order of the rest.
void dropIslands(IndexedMesh& mesh, int64_t minFaceCount, IslandReport& report);

struct BodyReport {
    int64_t pieceCount = 0;         // before
    int64_t bodyFaceCount = 0;      // faces of the largest piece
    int64_t voidCount = 0;          // pieces kept inside it
    int64_t droppedPieceCount = 0;
    int64_t droppedFaceCount = 0;
};

// Keeps what a printer can make: the piece with the most faces and the pieces inside it (its
// voids: wound inwards, an odd number of its faces beyond them along a ray); drops every other
// piece, crumbs outside or inside alike. Keeps the order of what stays.
void keepBody(IndexedMesh& mesh, BodyReport& report);
