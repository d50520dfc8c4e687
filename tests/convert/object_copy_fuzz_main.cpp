// Drives the object copy fuzz target where libFuzzer is not at hand (cross
// builds, run under emulation): inputs from a fixed seed in the target's
// format, biased towards what the kernels see, runs of equal entries long
// enough for every vector step, and descriptors of thousands of entries.
// Usage: object_copy_fuzz_run [inputs]   (default 20000)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    const long inputs = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20000;
    std::mt19937 rng(1);
    auto pick = [&rng](int low, int high) {
        return std::uniform_int_distribution<>(low, high)(rng);
    };
    std::vector<uint8_t> input;
    for (long n = 0; n < inputs; ++n) {
        input.clear();
        input.push_back(static_cast<uint8_t>(pick(0, 3)));      // mode
        input.push_back(static_cast<uint8_t>(pick(-128, 127))); // placement
        const int segments = pick(0, n % 10 == 0 ? 40 : 8);
        for (int s = 0; s < segments; ++s) {
            const int kind = pick(0, 9);
            if (kind < 6) {
                const int run = pick(1, kind == 0 ? 300 : 40);
                input.insert(input.end(), static_cast<size_t>(run),
                             static_cast<uint8_t>("\1\2\4\10"[kind % 4]));
            } else if (kind < 9) {
                input.push_back(static_cast<uint8_t>(pick(1, 127)));
            } else {
                input.push_back(static_cast<uint8_t>(pick(128, 255)));
            }
        }
        input.push_back(0);
        const int fill = pick(0, 256);
        for (int i = 0; i < fill; ++i)
            input.push_back(static_cast<uint8_t>(rng()));
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%ld inputs, every copy as defined\n", inputs);
    return 0;
}
