#!/bin/sh
# The library starts its server as "<path> server"; pylsp takes no such argument.
exec python3 -m pylsp
