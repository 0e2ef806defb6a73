# Application manifest, icon and version resource of both programs (Windows
# only).
