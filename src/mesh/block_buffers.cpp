#include "mesh/block_buffers.h"

#include <memory>

BlockBuffers::BlockBuffers() {
    // Default-initialised arrays: no clearing, so untouched pages cost no resident memory.
    std::unique_ptr<double[]> sampleArray(new double[kBlockSampleCount]);
    records = new TriangleRecord[kBlockRecordCapacity];
    samples = sampleArray.release();
}

BlockBuffers::~BlockBuffers() {
    delete[] samples;
    delete[] records;
}
