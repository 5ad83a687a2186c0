// Pieces kept or dropped: the small ones (islands), or all but the printable body. Decided over
// sweeps of the file (see sweep_weld.h), holding a label per vertex and a few numbers per piece,
// never the mesh; what is kept is handed on as the reader's record filter (keepRecords).
#pragma once

#include <cstdint>
#include <string>

#include "common/types.h"
#include "io/record_reader.h"
#include "quarnel_mesh/util/run_context.h"

struct IslandReport {
    int64_t pieceCount = 0;          // before dropping
    int64_t droppedPieceCount = 0;
    int64_t droppedFaceCount = 0;
    int64_t largestPieceFaceCount = 0;
};

struct BodyReport {
    int64_t pieceCount = 0;         // before (after the islands went)
    int64_t bodyFaceCount = 0;      // faces of the largest piece
    bool bodyClosed = true;         // every side of its faces met by one running it backwards
    int64_t voidCount = 0;          // pieces kept inside it (none when it is not closed)
    int64_t droppedPieceCount = 0;
    int64_t droppedFaceCount = 0;
};

// What to keep of the pieces (joined through shared welded vertices; a piece's faces are its
// triangles, those with two equal vertices included).
struct PieceFilter {
    int64_t minFaceCount = 0;  // above 0: pieces with fewer faces go (islands)
    // The piece with the most faces (the first in vertex order of those tied) and the pieces
    // inside it (its voids: wound inwards, an odd number of its faces beyond them along a ray,
    // by a majority of the first vertices of their first three triangles), when it is closed;
    // every other piece goes, crumbs outside or inside alike. After the islands, when both are
    // asked.
    bool keepBody = false;
};

// Passes over the file filterPieces makes, for its progress.
int64_t pieceFilterPassCount(const PieceFilter& filter);

// Decides, over sweeps of an open file with no record filter yet, which triangles `filter`
// keeps, and sets that as the reader's record filter: from then on its reads hand out those
// records, in file order; the records with a non-finite vertex go as well (counted in
// run.nonFiniteDropped), as no indexed format takes them. `islands` is filled when
// filter.minFaceCount > 0, `body` when filter.keepBody and some triangle is left. Memory: the
// sweep's window, 4 bytes a vertex, about 150 bytes a piece, 1 bit a record. run.progress advances
// from run.doneUnits by pieceFilterPassCount passes. False with run.error set when a read or an
// allocation fails or a stop was requested.
bool filterPieces(RecordReader& reader, const PieceFilter& filter, IslandReport& islands,
                  BodyReport& body, RunContext& run);

// ---- internals shared with the tests' reference

// The cells per side of the grid over the body's (y, z) extent that sorts rays and faces.
constexpr int kBodyGridCells = 128;

// The cell of `value` in a grid from `start` in steps of `width`, clamped to the grid.
int bodyGridCell(double value, double start, double width);

// Whether the ray from `p` along +x crosses the triangle (a, b, c). A point on an edge of the
// projection belongs to one side of it only (a half-open rule), so a ray through an edge shared
// by two faces counts once.
bool rayCrossesTriangle(const Vec3d& a, const Vec3d& b, const Vec3d& c, const Vec3d& p);
