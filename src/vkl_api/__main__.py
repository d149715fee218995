"""Command-line tool: ``python -m vkl_api``."""
from vkl_api.kavrel_cli import main

if __name__ == "__main__":
    main()
