// zelkObjectCopy: the record copy with the fastest kernels that the
// processor runs, chosen at the first call.
#include "zelk.h"

#include "convert/record_copy.h"

namespace {

const zelk::detail::CopyKernels &chooseKernels()
{
    const zelk::detail::CopyKernels *avx2 = zelk::detail::avx2CopyKernels();
    const zelk::detail::CopyKernels *neon = zelk::detail::neonCopyKernels();
    return avx2 != nullptr   ? *avx2
           : neon != nullptr ? *neon
                             : zelk::detail::baselineCopyKernels();
}

} // namespace

int zelkObjectCopy(const void *source, void *destination, const char *layout,
                   int swap)
{
    static const zelk::detail::CopyKernels &kernels = chooseKernels();
    zelk::detail::copyRecord(source, destination, layout, swap, kernels);
    return 0;
}
