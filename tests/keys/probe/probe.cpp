// Prints the keys of the generated header, one a line.
#include "trustedkeys.h"

#include <cstdio>

int main()
{
    for (const std::string_view key : TrustedKeys::kBase64)
        std::printf("%.*s\n", static_cast<int>(key.size()), key.data());
    return 0;
}
