"""The live dashboard of `nmb dashboard`: a web page served by the package itself.

server.py serves static/ (the page, its script and style, and the vendored
chart library) and streams the run to the page with Server-Sent Events.
"""
