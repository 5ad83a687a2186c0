#include "mesh/block_buffers.h"

#include <memory>

BlockBuffers::BlockBuffers() {
    // Default-initialised arrays: no clearing, so untouched pages cost no resident memory.
    std::unique_ptr<double[]> sampleArray(new double[kBlockSampleCount]);
    std::unique_ptr<double[]> highArray(new double[kBlockSampleCount]);
    records = new TriangleRecord[kBlockRecordCapacity];
    samples = sampleArray.release();
    highs = highArray.release();
}

BlockBuffers::~BlockBuffers() {
    delete[] samples;
    delete[] highs;
    delete[] records;
}
