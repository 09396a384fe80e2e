# The two commands of the README. `make run` builds and starts Quarin and nothing else; `make test`
# builds and runs every test in the normal, ASan+UBSan and TSan builds, then a fuzz smoke.
PRESETS_TEST := dev asan tsan

.PHONY: run test build format-check fuzz-smoke $(addprefix test-,$(PRESETS_TEST))

# The program alone: its own build folder, configured without tests, benchmarks or fuzz targets.
build:
	@scripts/install-deps.sh run
	cmake --preset app >/dev/null
	cmake --build --preset app --target quarin

run: build
	./build/app/src/quarin

format-check:
	@scripts/install-deps.sh test
	@files=$$(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h'); \
	  [ -z "$$files" ] || clang-format --dry-run -Werror $$files

# A static pattern rule: make skips implicit rules for phony targets.
$(addprefix test-,$(PRESETS_TEST)): test-%:
	@scripts/install-deps.sh test
	cmake --preset $* >/dev/null
	cmake --build --preset $*
	ctest --preset $*

# Every libFuzzer target for 20 s over its corpus and regressions (scripts/fuzz.sh).
fuzz-smoke:
	scripts/fuzz.sh 20

test: format-check $(addprefix test-,$(PRESETS_TEST)) fuzz-smoke
