"""Serving a model folder over HTTP (`ombrel serve`): the service's entry points (service), the ASGI
application (app), the model a process serves and its hot swap (model), the page (page), the worker,
writer and supervisor processes (worker, writer, supervisor) and what they share (process). It may
import the estimator (ombrel_learn.classifier), the model folder (store), base and the native
extensions; only the command line above it imports it."""
