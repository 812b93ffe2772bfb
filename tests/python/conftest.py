import os
import sys

# The shared ctypes mirror lives in the repository's python/ folder.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "python"))
