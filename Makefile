# The two entry points. Both provision the build environment when the host lacks
# CPython 3.14 with headers (tools/devenv), then work inside it.
.PHONY: demo test bench shell figures

demo:
	tools/devenv run tools/run-demo

test:
	tools/devenv run tools/run-tests

bench:
	tools/devenv run tools/run-bench

shell:
	tools/devenv shell

# Redraws the guide's pictures (docs/img) from what the module draws now.
figures:
	tools/devenv run tools/run-demo --figures
