# The two commands of the README. `make run` builds and starts Quarin; `make test` builds and
# runs every test in the normal, ASan+UBSan and TSan builds.
PRESETS_TEST := dev asan tsan

.PHONY: run test deps build format-check fuzz-smoke $(addprefix test-,$(PRESETS_TEST))

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset dev >/dev/null
	cmake --build --preset dev

run: build
	./build/dev/src/quarin

format-check:
	@files=$$(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h'); \
	  [ -z "$$files" ] || clang-format --dry-run -Werror $$files

# A static pattern rule: make skips implicit rules for phony targets.
$(addprefix test-,$(PRESETS_TEST)): test-%: deps
	cmake --preset $* >/dev/null
	cmake --build --preset $*
	ctest --preset $*

# Every libFuzzer target for 20 s over its corpus and regressions (scripts/fuzz.sh).
fuzz-smoke: deps
	scripts/fuzz.sh 20

test: deps format-check $(addprefix test-,$(PRESETS_TEST)) fuzz-smoke
