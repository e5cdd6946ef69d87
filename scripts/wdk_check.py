"""Where the Windows header check lives, for the Windows build's checks."""
import os
import subprocess


def wdk_check_dir(root):
    """The Windows header check's folder: QUILLEX_WDK_CHECK names its script, else
    ../shared/wdk-check beside the clone (or beside the clone a worktree came from)."""
    if os.environ.get("QUILLEX_WDK_CHECK"):
        return os.path.dirname(os.path.abspath(os.environ["QUILLEX_WDK_CHECK"]))
    candidates = [os.path.join(root, "..", "shared", "wdk-check")]
    common = subprocess.run(["git", "-C", root, "rev-parse", "--git-common-dir"], capture_output=True, text=True)
    if common.returncode == 0:
        git_dir = os.path.join(root, common.stdout.strip())
        candidates.append(os.path.join(git_dir, "..", "..", "shared", "wdk-check"))
    for c in candidates:
        if os.path.isdir(c):
            return os.path.abspath(c)
    return os.path.abspath(candidates[0])
