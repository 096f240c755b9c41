# Our cryptography against OpenSSL (the peer only; the library itself never links it).
find_package(OpenSSL REQUIRED)
bwv_add_bench(bench_crypto bench_crypto.cpp)
target_link_libraries(bench_crypto PRIVATE OpenSSL::Crypto)
