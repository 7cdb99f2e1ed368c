// SPDX-License-Identifier: Apache-2.0
// Replays every committed input of one fuzz target's corpus (the directory
// VORN_FUZZ_CORPUS_DIR) through its LLVMFuzzerTestOneInput, so that the normal
// and sanitizer builds keep every finding fixed and every seed passing. A
// broken promise aborts inside the target; the last "replaying" line names the
// input.

#include "fuzz_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::filesystem::path> corpus_inputs(void)
{
    std::vector<std::filesystem::path> inputs;
    for (const auto &entry : std::filesystem::directory_iterator(VORN_FUZZ_CORPUS_DIR))
        if (entry.is_regular_file())
            inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

} // namespace

TEST(FuzzCorpus, EveryInputKeepsTheTargetsPromises)
{
    int argc = 1;
    char name[] = "replay";
    char *args[] = {name, nullptr};
    char **argv = args;
    LLVMFuzzerInitialize(&argc, &argv);

    const std::vector<std::filesystem::path> inputs = corpus_inputs();
    ASSERT_FALSE(inputs.empty()) << "no corpus in " << VORN_FUZZ_CORPUS_DIR;
    for (const auto &path : inputs) {
        std::ifstream file(path, std::ios::binary);
        ASSERT_TRUE(file) << path;
        const std::vector<uint8_t> data{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        fprintf(stderr, "replaying %s (%zu bytes)\n", path.filename().c_str(), data.size());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    fprintf(stderr, "replayed %zu inputs\n", inputs.size());
}
