"""python3 -m quillfen_client {label-transcript,find-speakers} ..."""

import sys

from .cli import main

sys.exit(main())
