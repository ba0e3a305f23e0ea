// The release manifest's reader: any bytes are read or refused without a
// crash, and a manifest it accepts is written and read back the same.
#include "fuzzcheck.h"
#include "net/releasemanifest.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<ReleaseManifest> manifest
        = ReleaseManifest::parse(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size)));
    if (!manifest)
        return 0;
    FUZZ_CHECK(manifest->serial > 0 && manifest->serial <= kMaxSerial);
    FUZZ_CHECK(manifest->rolloutPercent >= 0 && manifest->rolloutPercent <= 100);
    const std::optional<ReleaseManifest> again = ReleaseManifest::parse(manifest->toJson());
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(again->serial == manifest->serial && again->version == manifest->version);
    FUZZ_CHECK(again->expires == manifest->expires && again->halted == manifest->halted);
    FUZZ_CHECK(again->rolloutPercent == manifest->rolloutPercent);
    FUZZ_CHECK(again->files.keys() == manifest->files.keys());
    for (auto it = manifest->files.begin(); it != manifest->files.end(); ++it) {
        const ReleaseFile read = again->files.value(it.key());
        FUZZ_CHECK(read.size == it->size && read.sha256 == it->sha256);
        FUZZ_CHECK(read.patches.size() == it->patches.size());
        for (qsizetype i = 0; i < it->patches.size(); ++i) {
            const ReleasePatchEntry &patch = it->patches.at(i);
            FUZZ_CHECK(patch.from.size() == 32 && patch.sha256.size() == 32 && patch.size > 0);
            FUZZ_CHECK(read.patches.at(i).from == patch.from && read.patches.at(i).sha256 == patch.sha256
                       && read.patches.at(i).size == patch.size && read.patches.at(i).windowLog == patch.windowLog);
        }
    }
    return 0;
}
