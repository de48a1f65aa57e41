import os
import sys

# The tests import the package from the source tree and the fake plug-in from here.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "clients", "python"))
sys.path.insert(0, HERE)
