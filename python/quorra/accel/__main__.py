import sys

from quorra.accel.demo import main

sys.exit(main())
