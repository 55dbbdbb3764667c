import os
import sys

# ctest puts the built module's directory on PYTHONPATH; running pytest by hand
# from a build tree works the same way.
_build = os.environ.get("ZANTU_FFI_DIR")
if _build and _build not in sys.path:
    sys.path.insert(0, _build)
