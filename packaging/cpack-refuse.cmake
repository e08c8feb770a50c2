# CPack reads this in a build without TARVEX_STATIC: packages carry the
# static daemon only, so that they need nothing of the device's libraries.
message(FATAL_ERROR "tarvexd: packages are made from a static build; use packaging/build.sh TARGET BUILD_DIR")
