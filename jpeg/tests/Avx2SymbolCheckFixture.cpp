// Units that jpeg/CheckAvx2Symbols.cmake must refuse, compiled with -mavx2
// as the AVX2 kernel unit is (never linked): SKY_FIXTURE_SHARED_INLINE
// defines an inline function with external linkage next to an AVX2 entry
// point, SKY_FIXTURE_STATIC_INIT initialises a static with code.
#include <immintrin.h>

namespace jpeg_fixture {

int ReadInput();

#if defined(SKY_FIXTURE_SHARED_INLINE)
__attribute__((noinline)) inline int Twice(int v) { return _mm256_extract_epi32(_mm256_set1_epi32(v + v), 3); }
int TwiceAvx2(int v) { return Twice(v); }
#elif defined(SKY_FIXTURE_STATIC_INIT)
const int kAtStartup = _mm256_extract_epi32(_mm256_set1_epi32(ReadInput()), 5);
int AtStartupAvx2() { return kAtStartup; }
#endif

}  // namespace jpeg_fixture
