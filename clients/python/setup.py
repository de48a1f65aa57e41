# Installs the nmbclient package and the nmb command.  Works offline with the
# setuptools the system already has: no pyproject build requirements are
# declared, so pip builds in the current environment instead of fetching
# setuptools into an isolated one.
from setuptools import setup

setup(
    name="nmbclient",
    version="1.0.0",
    description="Client for the Nimbrel network export plug-in: requests, notifications, discovery, nmb tool",
    packages=["nmbclient", "nmbclient.dashboard"],
    package_data={"nmbclient.dashboard": ["static/*.*", "static/vendor/*"]},
    python_requires=">=3.8",
    extras_require={"arrays": ["numpy"], "plot": ["matplotlib"]},
    entry_points={"console_scripts": ["nmb = nmbclient.cli:main"]},
)
