import sys

from epson_plot import main

sys.exit(main())
