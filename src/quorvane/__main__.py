from quorvane.cli import main

raise SystemExit(main())
