# The two set-up commands: `make run` starts the system, `make test` runs the tests. Both
# install what is missing first (scripts/deps.sh).
.PHONY: run test bench build format fuzz

run:
	bash scripts/run.sh

test:
	bash scripts/test.sh

bench:
	bash scripts/bench.sh

fuzz:
	bash scripts/fuzz.sh

build:
	bash scripts/deps.sh
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build/release -j$$(nproc)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')
