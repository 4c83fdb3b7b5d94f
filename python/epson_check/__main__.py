import sys

from epson_check import main

sys.exit(main())
