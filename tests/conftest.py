"""The test modules import support.py, property_support.py and the slow
models as plain modules from this directory, in any pytest import mode."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)
