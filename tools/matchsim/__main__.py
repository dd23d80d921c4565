"""python -m matchsim simulate [options]  (the options of tools/simulate.py)
python -m matchsim replay LOG [options]  (the options of tools/replay.py)"""

import sys


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ['simulate']:
        from .cli import main as simulate
        return simulate(argv[1:])
    if argv[:1] == ['replay']:
        from .replay import main as replay
        return replay(argv[1:], prog='python -m matchsim replay')
    sys.stderr.write(__doc__ + '\n')
    return 2


if __name__ == '__main__':
    sys.exit(main())
